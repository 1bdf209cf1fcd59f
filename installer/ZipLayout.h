#pragma once
// Just enough of the ZIP layout to check an archive without unpacking it: the
// end-of-central-directory record and the central directory's entries.
#include <cstdint>
#include <string>
#include <vector>

namespace varnesk {
namespace zip {

struct EndRecord {
  std::uint64_t offset = 0;  // of the record itself
  std::uint16_t diskNumber = 0;
  std::uint16_t centralDirectoryDisk = 0;
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t totalEntries = 0;
  std::uint32_t centralDirectorySize = 0;
  std::uint32_t centralDirectoryOffset = 0;
  std::uint16_t commentLength = 0;
};

struct CentralEntry {
  std::string name;
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t diskStart = 0;
  std::uint32_t externalAttributes = 0;
  std::uint32_t localHeaderOffset = 0;
  bool zip64Extra = false;  // carries a ZIP64 extended-information field

  /// Unix mode from the high half of the external attributes (0 when not from Unix).
  std::uint32_t UnixMode() const { return externalAttributes >> 16; }
  bool IsDirectory() const { return !name.empty() && name.back() == '/'; }
  bool IsSymlink() const { return (UnixMode() & 0170000u) == 0120000u; }
};

/// A local file header as it stands before an entry's data.
struct LocalHeader {
  std::uint64_t offset = 0;      // of the header
  std::uint64_t dataOffset = 0;  // of the entry's data, right after name and extra field
  std::string name;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;

  /// Flag bit 3: CRC and sizes follow the data in a data descriptor.
  bool HasDataDescriptor() const { return (flags & 0x0008u) != 0; }
};

/// Signatures that open ZIP records.
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kDataDescriptorSignature = 0x08074b50;

/// Extra-field id of ZIP64 sizes and offsets.
constexpr std::uint16_t kZip64ExtraId = 0x0001;

/// Little-endian fields of ZIP records.
inline std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

/// True when the extra fields in `extra` (`size` bytes) hold a ZIP64 field.
bool HasZip64Extra(const unsigned char* extra, std::size_t size);

/// Finds the end record in the last bytes of an archive. `tail` holds the archive's
/// final `tailSize` bytes, which start at archive offset `tailOffset`. The record must
/// end exactly where the archive ends (its comment included).
bool FindEndRecord(const unsigned char* tail, std::size_t tailSize, std::uint64_t tailOffset,
                   EndRecord& record);

/// The longest tail that can hold an end record: the record and a full comment.
constexpr std::size_t kMaxEndRecordTail = 22 + 0xFFFF;

/// Reads every central-directory entry of a whole archive held in memory. On a
/// malformed directory returns false and says why in `error`.
bool ReadCentralDirectory(const std::vector<unsigned char>& archive, const EndRecord& end,
                          std::vector<CentralEntry>& entries, std::string& error);

/// The same over the directory's own bytes: `directory` holds the `size` bytes from the
/// directory's first byte up to the end record.
bool ReadCentralDirectory(const unsigned char* directory, std::size_t size, const EndRecord& end,
                          std::vector<CentralEntry>& entries, std::string& error);

/// Reads the local header at `offset`; false when none stands there in full.
bool ReadLocalHeader(const std::vector<unsigned char>& archive, std::uint64_t offset,
                     LocalHeader& header);

/// Data of a stored entry (method 0), read through its local header; false when the
/// local header does not lie where the central directory says.
bool ReadStoredData(const std::vector<unsigned char>& archive, const CentralEntry& entry,
                    std::string& data);

}  // namespace zip
}  // namespace varnesk
