#pragma once
// The checks that a macOS build made without a Mac must pass before anyone runs it:
// which slices a universal file holds, what each slice imports and from where, the
// lowest system it asks for, its code signature, and the client archive it carries.
// Each check reports what it found (notes) and what is wrong (problems); it passes
// when there are no problems.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/MachOImage.h"

namespace varnesk {
namespace macho {

struct CheckResult {
  std::vector<std::string> notes;
  std::vector<std::string> problems;

  bool Passed() const { return problems.empty(); }
};

/// The file is universal and holds exactly the architectures `archs`, once each.
CheckResult CheckSlices(const Image& image, const std::vector<std::string>& archs);

/// Each slice is a macOS binary whose minimum system version is the one given for its
/// architecture in `minimum` ("x86_64" -> "11.0"); a slice without an entry fails.
CheckResult CheckMinimumOs(const Image& image, const std::map<std::string, std::string>& minimum);

/// Each slice uses two-level namespace imports, loads only `allowed` libraries (install
/// names), and every undefined symbol names one of them as its library.
CheckResult CheckImports(const Image& image, const std::vector<std::string>& allowed);

/// The slices of the architectures in `required` carry a code signature; every
/// signature present is checked: its blobs lie inside it, every code directory covers
/// the slice up to the signature, every page hash matches a fresh hash of the page,
/// and every special slot whose blob is present matches that blob.
CheckResult CheckCodeSignature(const Image& image, const std::vector<std::uint8_t>& bytes,
                               const std::vector<std::string>& required);

/// What the build recorded about the carried archive (ClientPayloadInfo.h).
struct PayloadRecord {
  std::uint64_t sliceLengths[4] = {0, 0, 0, 0};
  std::uint64_t size = 0;
  std::uint32_t crc32 = 0;
};

/// Reads the recorded slice lengths, size and CRC-32 from the generated header's text.
bool ParsePayloadRecord(const std::string& headerText, PayloadRecord& record, std::string& error);

/// In each slice, the labels THE_ZIP_BYTES1..4 are local symbols in __TEXT,__const,
/// each at a 64-byte boundary, and the bytes from them, in order and of the recorded
/// lengths, join to `archive`, whose size and CRC-32 are the recorded ones.
CheckResult CheckPayload(const Image& image, const std::vector<std::uint8_t>& bytes,
                         const PayloadRecord& record, const std::vector<std::uint8_t>& archive);

}  // namespace macho
}  // namespace varnesk
