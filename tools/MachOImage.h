#pragma once
// Just enough of the Mach-O layout to check a built macOS executable on any machine:
// the slices of a universal file and, for each 64-bit little-endian slice, its
// sections, symbols, linked libraries, minimum system version and the place of its
// code signature. Every offset and size is checked against the bytes at hand; a
// damaged file gives an error text, never a read outside them.
#include <cstdint>
#include <string>
#include <vector>

namespace varnesk {
namespace macho {

constexpr std::uint32_t kFatMagic = 0xcafebabe;    // big-endian universal header
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;  // the same with 64-bit offsets
constexpr std::uint32_t kMagic64 = 0xfeedfacf;     // 64-bit Mach-O, little-endian

constexpr std::uint32_t kCpuTypeX86_64 = 0x01000007;
constexpr std::uint32_t kCpuTypeArm64 = 0x0100000c;

constexpr std::uint32_t kFlagTwoLevel = 0x80;  // MH_TWOLEVEL: imports name their library

// Load commands read here.
constexpr std::uint32_t kCmdSymtab = 0x2;
constexpr std::uint32_t kCmdLoadDylib = 0xc;
constexpr std::uint32_t kCmdSegment64 = 0x19;
constexpr std::uint32_t kCmdCodeSignature = 0x1d;
constexpr std::uint32_t kCmdLazyLoadDylib = 0x20;
constexpr std::uint32_t kCmdVersionMinMacOS = 0x24;
constexpr std::uint32_t kCmdBuildVersion = 0x32;
constexpr std::uint32_t kCmdLoadWeakDylib = 0x80000018;
constexpr std::uint32_t kCmdReexportDylib = 0x8000001f;
constexpr std::uint32_t kCmdLoadUpwardDylib = 0x80000023;

constexpr std::uint32_t kPlatformMacOS = 1;

// nlist n_type bits.
constexpr std::uint8_t kSymStab = 0xe0;
constexpr std::uint8_t kSymTypeMask = 0x0e;
constexpr std::uint8_t kSymUndefined = 0x0;
constexpr std::uint8_t kSymSection = 0xe;
constexpr std::uint8_t kSymExternal = 0x01;

struct Section {
  std::string segment;
  std::string name;
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  std::uint32_t fileOffset = 0;  // within the slice; 0 for zero-fill sections
  std::uint32_t alignLog2 = 0;
  std::uint32_t flags = 0;

  /// False for zero-fill sections, which occupy memory but no bytes of the file.
  bool HasFileData() const {
    const std::uint32_t type = flags & 0xff;
    return type != 0x1 && type != 0xc && type != 0x12;
  }
};

struct Segment {
  std::string name;
  std::uint64_t fileOffset = 0;
  std::uint64_t fileSize = 0;
};

struct Symbol {
  std::string name;
  std::uint8_t type = 0;
  std::uint8_t section = 0;  // 1-based index into Slice::sections, 0 for none
  std::uint16_t desc = 0;
  std::uint64_t value = 0;

  bool IsStab() const { return (type & kSymStab) != 0; }
  bool IsExternal() const { return (type & kSymExternal) != 0; }
  bool IsUndefined() const { return !IsStab() && (type & kSymTypeMask) == kSymUndefined; }
  bool IsDefinedInSection() const { return !IsStab() && (type & kSymTypeMask) == kSymSection; }
  /// The two-level namespace's library ordinal of an import (1 = first library).
  unsigned LibraryOrdinal() const { return (desc >> 8) & 0xffu; }
};

struct Slice {
  std::string arch;  // "x86_64", "arm64" or "cputype 0x..."
  std::uint32_t cpuType = 0;
  std::uint64_t offset = 0;  // of the slice within the file
  std::uint64_t size = 0;
  std::uint32_t fileType = 0;
  std::uint32_t flags = 0;
  std::vector<Segment> segments;
  std::vector<Section> sections;     // in load-command order; symbols count from 1
  std::vector<Symbol> symbols;
  std::vector<std::string> libraries;  // install names, in ordinal order
  std::uint32_t minOs = 0;             // xxxx.yy.zz nibbles; 0 when not recorded
  std::uint32_t platform = 0;          // from LC_BUILD_VERSION; macOS for LC_VERSION_MIN_MACOSX
  bool hasSignature = false;
  std::uint32_t signatureOffset = 0;   // within the slice
  std::uint32_t signatureSize = 0;
};

struct Image {
  bool universal = false;
  std::vector<Slice> slices;
};

/// Reads a universal or thin 64-bit Mach-O file held in `bytes`. False, with a reason
/// in `error`, when it is neither or when any part lies outside the bytes.
bool ReadImage(const std::vector<std::uint8_t>& bytes, Image& image, std::string& error);

/// "11.0", "10.15.7": the text form of an encoded version.
std::string VersionText(std::uint32_t version);

/// Parses "11", "11.0" or "10.15.7" into the encoded form; false for anything else.
bool ParseVersion(const std::string& text, std::uint32_t& version);

/// Big- and little-endian fields.
std::uint32_t Be32(const std::uint8_t* p);
std::uint32_t Le32(const std::uint8_t* p);
std::uint64_t Le64(const std::uint8_t* p);

}  // namespace macho
}  // namespace varnesk
