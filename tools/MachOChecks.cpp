#include "tools/MachOChecks.h"

#include <Poco/SHA1Engine.h>
#include <Poco/SHA2Engine.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace varnesk {
namespace macho {
namespace {

// Code-signature blobs (big-endian).
constexpr std::uint32_t kSuperBlobMagic = 0xfade0cc0;
constexpr std::uint32_t kCodeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t kSlotCodeDirectory = 0;
constexpr std::uint32_t kSlotAlternateCodeDirectories = 0x1000;  // up to five
constexpr std::uint32_t kCodeDirectoryAdHoc = 0x2;
constexpr std::uint32_t kCodeDirectoryLinkerSigned = 0x20000;
constexpr std::uint64_t kExecSegMainBinary = 0x1;
constexpr std::uint32_t kFileTypeExecute = 0x2;

const char* const kPayloadLabels[4] = {"_THE_ZIP_BYTES1", "_THE_ZIP_BYTES2", "_THE_ZIP_BYTES3",
                                       "_THE_ZIP_BYTES4"};

std::string Hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 0xf]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

// A digest engine for a code directory's hash type, and the length its slots keep.
std::unique_ptr<Poco::DigestEngine> HashEngine(std::uint8_t type, std::size_t& slotSize,
                                               std::string& name) {
  switch (type) {
    case 1:
      slotSize = 20;
      name = "SHA-1";
      return std::make_unique<Poco::SHA1Engine>();
    case 2:
      slotSize = 32;
      name = "SHA-256";
      return std::make_unique<Poco::SHA2Engine>(Poco::SHA2Engine::SHA_256);
    case 3:
      slotSize = 20;
      name = "SHA-256 (truncated)";
      return std::make_unique<Poco::SHA2Engine>(Poco::SHA2Engine::SHA_256);
    case 4:
      slotSize = 48;
      name = "SHA-384";
      return std::make_unique<Poco::SHA2Engine>(Poco::SHA2Engine::SHA_384);
    default:
      return nullptr;
  }
}

bool SameHash(Poco::DigestEngine& engine, const std::uint8_t* data, std::size_t size,
              const std::uint8_t* slot, std::size_t slotSize) {
  engine.reset();
  engine.update(data, size);
  const Poco::DigestEngine::Digest& digest = engine.digest();
  return digest.size() >= slotSize && std::memcmp(digest.data(), slot, slotSize) == 0;
}

struct Blob {
  std::uint32_t type;
  std::uint32_t offset;  // within the signature
  std::uint32_t length;
};

// Checks one code directory of the slice starting at `slice`; `signature` holds the
// slice's whole signature and `blobs` its index.
void CheckCodeDirectory(const Slice& sliceInfo, const std::uint8_t* slice, const std::uint8_t* signature,
                        const Blob& cd, const std::vector<Blob>& blobs, CheckResult& result) {
  const std::string where = sliceInfo.arch + ": code directory " + Hex(cd.type);
  const std::size_t problemsBefore = result.problems.size();
  const std::uint8_t* p = signature + cd.offset;
  if (cd.length < 44 || Be32(p) != kCodeDirectoryMagic) {
    result.problems.push_back(where + ": not a code directory");
    return;
  }
  const std::uint32_t version = Be32(p + 8);
  const std::uint32_t flags = Be32(p + 12);
  const std::uint32_t hashOffset = Be32(p + 16);
  const std::uint32_t identOffset = Be32(p + 20);
  const std::uint32_t specialSlots = Be32(p + 24);
  const std::uint32_t codeSlots = Be32(p + 28);
  std::uint64_t codeLimit = Be32(p + 32);
  const std::uint8_t hashSize = p[36];
  const std::uint8_t hashType = p[37];
  const std::uint8_t pageLog2 = p[39];
  if (version >= 0x20300 && cd.length >= 64) {
    const std::uint64_t wide = (static_cast<std::uint64_t>(Be32(p + 56)) << 32) | Be32(p + 60);
    if (wide != 0) codeLimit = wide;
  }

  std::size_t slotSize = 0;
  std::string hashName;
  std::unique_ptr<Poco::DigestEngine> engine = HashEngine(hashType, slotSize, hashName);
  if (!engine || hashSize != slotSize) {
    result.problems.push_back(where + ": unknown hash type " + std::to_string(hashType) +
                              " of size " + std::to_string(hashSize));
    return;
  }
  const std::uint64_t slotsStart = static_cast<std::uint64_t>(specialSlots) * hashSize;
  if (hashOffset < slotsStart ||
      static_cast<std::uint64_t>(hashOffset) + static_cast<std::uint64_t>(codeSlots) * hashSize > cd.length ||
      identOffset >= cd.length || pageLog2 >= 32) {
    result.problems.push_back(where + ": its slots or identifier lie outside it");
    return;
  }
  const void* identEnd = std::memchr(p + identOffset, 0, cd.length - identOffset);
  const std::string identifier(reinterpret_cast<const char*>(p + identOffset),
                               identEnd ? static_cast<const std::uint8_t*>(identEnd) - (p + identOffset) : 0);
  if (identifier.empty()) result.problems.push_back(where + ": no identifier");

  // The code directory covers everything in front of the signature, page by page.
  if (codeLimit != sliceInfo.signatureOffset) {
    result.problems.push_back(where + ": covers " + std::to_string(codeLimit) +
                              " bytes, but the signature starts at " +
                              std::to_string(sliceInfo.signatureOffset));
    return;
  }
  const std::uint64_t pageSize = pageLog2 == 0 ? codeLimit : (std::uint64_t{1} << pageLog2);
  const std::uint64_t pages = pageSize == 0 ? 0 : (codeLimit + pageSize - 1) / pageSize;
  if (pages != codeSlots) {
    result.problems.push_back(where + ": " + std::to_string(codeSlots) + " page hashes for " +
                              std::to_string(pages) + " pages");
    return;
  }
  std::uint64_t badPages = 0;
  std::string firstBad;
  for (std::uint64_t page = 0; page < pages; ++page) {
    const std::uint64_t start = page * pageSize;
    const std::uint64_t length = std::min(pageSize, codeLimit - start);
    if (!SameHash(*engine, slice + start, static_cast<std::size_t>(length),
                  p + hashOffset + page * hashSize, hashSize)) {
      if (badPages++ == 0) firstBad = std::to_string(page);
    }
  }
  if (badPages != 0) {
    result.problems.push_back(where + ": " + std::to_string(badPages) + " of " +
                              std::to_string(pages) + " page hashes differ (first: page " +
                              firstBad + ")");
  }

  // Special slots count down from the hashes; slot k binds the blob of type k.
  std::uint32_t boundBlobs = 0;
  for (std::uint32_t k = 1; k <= specialSlots; ++k) {
    const std::uint8_t* slot = p + hashOffset - static_cast<std::uint64_t>(k) * hashSize;
    const bool empty = std::all_of(slot, slot + hashSize, [](std::uint8_t b) { return b == 0; });
    const auto blob = std::find_if(blobs.begin(), blobs.end(), [k](const Blob& b) { return b.type == k; });
    if (blob != blobs.end()) {
      ++boundBlobs;
      if (!SameHash(*engine, signature + blob->offset, blob->length, slot, hashSize)) {
        result.problems.push_back(where + ": special slot " + std::to_string(k) +
                                  " does not match its blob");
      }
    } else if (!empty && k != 1) {  // slot 1 binds Info.plist, outside the binary
      result.problems.push_back(where + ": special slot " + std::to_string(k) +
                                " is set but its blob is missing");
    }
  }

  // From version 0x20400 on, the directory names the executable segment, which the
  // kernel maps as code: it must be __TEXT, and the main program says it is one.
  if (version >= 0x20400 && cd.length >= 88) {
    const auto field = [p](std::size_t at) {
      return (static_cast<std::uint64_t>(Be32(p + at)) << 32) | Be32(p + at + 4);
    };
    const auto text = std::find_if(sliceInfo.segments.begin(), sliceInfo.segments.end(),
                                   [](const Segment& s) { return s.name == "__TEXT"; });
    if (text == sliceInfo.segments.end() || field(64) != text->fileOffset ||
        field(72) != text->fileSize) {
      result.problems.push_back(where + ": its executable segment is not __TEXT");
    }
    if (sliceInfo.fileType == kFileTypeExecute && (field(80) & kExecSegMainBinary) == 0) {
      result.problems.push_back(where + ": an executable whose signature does not mark it as one");
    }
  }
  if (result.problems.size() != problemsBefore) return;

  std::string kind = (flags & kCodeDirectoryAdHoc) ? "ad hoc" : "signed";
  if (flags & kCodeDirectoryLinkerSigned) kind += ", linker-signed";
  result.notes.push_back(where + ": " + kind + ", identifier \"" + identifier + "\", " +
                         hashName + ", " + std::to_string(pages) + " pages of " +
                         std::to_string(pageSize) + " bytes rehashed, " +
                         std::to_string(boundBlobs) + " bound blobs");
}

void CheckSliceSignature(const Slice& slice, const std::uint8_t* data, CheckResult& result) {
  const std::uint8_t* sig = data + slice.signatureOffset;
  const std::uint32_t size = slice.signatureSize;
  if (size < 12 || Be32(sig) != kSuperBlobMagic || Be32(sig + 4) > size) {
    result.problems.push_back(slice.arch + ": the signature is not a signature blob");
    return;
  }
  const std::uint32_t length = Be32(sig + 4);
  const std::uint32_t count = Be32(sig + 8);
  if (12 + static_cast<std::uint64_t>(count) * 8 > length) {
    result.problems.push_back(slice.arch + ": the signature's index runs past its end");
    return;
  }
  std::vector<Blob> blobs;
  for (std::uint32_t i = 0; i < count; ++i) {
    Blob blob{Be32(sig + 12 + i * 8), Be32(sig + 16 + i * 8), 0};
    if (blob.offset > length - 8 || Be32(sig + blob.offset + 4) < 8 ||
        Be32(sig + blob.offset + 4) > length - blob.offset) {
      result.problems.push_back(slice.arch + ": signature blob " + Hex(blob.type) +
                                " lies outside the signature");
      return;
    }
    blob.length = Be32(sig + blob.offset + 4);
    blobs.push_back(blob);
  }
  bool primary = false;
  for (const Blob& blob : blobs) {
    if (blob.type == kSlotCodeDirectory) primary = true;
    if (blob.type == kSlotCodeDirectory ||
        (blob.type >= kSlotAlternateCodeDirectories && blob.type < kSlotAlternateCodeDirectories + 5)) {
      CheckCodeDirectory(slice, data, sig, blob, blobs, result);
    }
  }
  if (!primary) result.problems.push_back(slice.arch + ": the signature has no code directory");
}

const Section* SectionOf(const Slice& slice, const Symbol& symbol) {
  if (symbol.section == 0 || symbol.section > slice.sections.size()) return nullptr;
  return &slice.sections[symbol.section - 1];
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    const uInt chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = crc32(crc, data, chunk);
    data += chunk;
    size -= chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

// Checks the payload of one slice; `data` is the slice's first byte.
void CheckSlicePayload(const Slice& slice, const std::uint8_t* data, const PayloadRecord& record,
                       const std::vector<std::uint8_t>& archive, CheckResult& result) {
  std::vector<std::uint8_t> joined;
  for (int i = 0; i < 4; ++i) {
    const std::string where = slice.arch + ": " + (kPayloadLabels[i] + 1);
    std::vector<const Symbol*> found;
    for (const Symbol& symbol : slice.symbols) {
      if (!symbol.IsStab() && symbol.name == kPayloadLabels[i]) found.push_back(&symbol);
    }
    if (found.empty()) {
      result.problems.push_back(where + ": no such symbol");
      continue;
    }
    const Symbol& label = *found.front();
    bool consistent = true;
    for (const Symbol* other : found) {
      consistent = consistent && other->value == label.value && other->type == label.type;
    }
    if (!consistent) {
      result.problems.push_back(where + ": defined more than once at different places");
      continue;
    }
    if (label.IsExternal()) result.problems.push_back(where + ": is external, not local");
    const Section* section = label.IsDefinedInSection() ? SectionOf(slice, label) : nullptr;
    if (section == nullptr || !section->HasFileData()) {
      result.problems.push_back(where + ": not defined in a section with bytes in the file");
      continue;
    }
    if (section->segment != "__TEXT" || section->name != "__const") {
      result.problems.push_back(where + ": lies in " + section->segment + "," + section->name +
                                ", not __TEXT,__const");
    }
    if (label.value % 64 != 0) result.problems.push_back(where + ": not 64-byte aligned (" + Hex(label.value) + ")");
    const std::uint64_t length = record.sliceLengths[i];
    if (label.value < section->address || label.value - section->address > section->size ||
        length > section->size - (label.value - section->address)) {
      result.problems.push_back(where + ": its " + std::to_string(length) +
                                " bytes run past the end of its section");
      continue;
    }
    const std::uint8_t* bytes = data + section->fileOffset + (label.value - section->address);
    joined.insert(joined.end(), bytes, bytes + length);
  }
  if (!result.Passed()) return;

  const std::uint32_t crc = Crc32(joined.data(), joined.size());
  if (joined.size() != record.size) {
    result.problems.push_back(slice.arch + ": the four slices hold " + std::to_string(joined.size()) +
                              " bytes, the build recorded " + std::to_string(record.size));
  } else if (crc != record.crc32) {
    result.problems.push_back(slice.arch + ": CRC-32 of the joined bytes is " + Hex(crc) +
                              ", the build recorded " + Hex(record.crc32));
  } else if (joined != archive) {
    result.problems.push_back(slice.arch + ": the joined bytes differ from the archive");
  } else {
    result.notes.push_back(slice.arch + ": 4 local labels in __TEXT,__const, 64-byte aligned; " +
                           std::to_string(joined.size()) + " bytes equal the archive, CRC-32 " +
                           Hex(crc));
  }
}

bool ReadNumberAfter(const std::string& text, const std::string& key, std::size_t& pos,
                     std::uint64_t& value) {
  pos = text.find(key, pos);
  if (pos == std::string::npos) return false;
  pos += key.size();
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '=' || text[pos] == '{' || text[pos] == ',')) ++pos;
  const char* start = text.c_str() + pos;
  char* end = nullptr;
  value = std::strtoull(start, &end, 0);
  if (end == start) return false;
  pos += static_cast<std::size_t>(end - start);
  return true;
}

}  // namespace

CheckResult CheckSlices(const Image& image, const std::vector<std::string>& archs) {
  CheckResult result;
  std::vector<std::string> found;
  for (const Slice& slice : image.slices) found.push_back(slice.arch);
  std::string list;
  for (const std::string& arch : found) list += (list.empty() ? "" : " ") + arch;
  if (!image.universal) result.problems.push_back("not a universal file (one slice: " + list + ")");
  for (const std::string& arch : archs) {
    const auto n = std::count(found.begin(), found.end(), arch);
    if (n != 1) result.problems.push_back(arch + ": present " + std::to_string(n) + " times, expected once");
  }
  for (const std::string& arch : found) {
    if (std::find(archs.begin(), archs.end(), arch) == archs.end()) {
      result.problems.push_back(arch + ": not expected");
    }
  }
  if (result.Passed()) result.notes.push_back("slices: " + list);
  return result;
}

CheckResult CheckMinimumOs(const Image& image, const std::map<std::string, std::string>& minimum) {
  CheckResult result;
  for (const Slice& slice : image.slices) {
    const auto wanted = minimum.find(slice.arch);
    std::uint32_t expected = 0;
    if (wanted == minimum.end() || !ParseVersion(wanted->second, expected)) {
      result.problems.push_back(slice.arch + ": no minimum macOS version configured for it");
    } else if (slice.platform != kPlatformMacOS || slice.minOs == 0) {
      result.problems.push_back(slice.arch + ": records no macOS minimum version (platform " +
                                std::to_string(slice.platform) + ")");
    } else if (slice.minOs != expected) {
      result.problems.push_back(slice.arch + ": minimum macOS " + VersionText(slice.minOs) +
                                ", configured " + VersionText(expected));
    } else {
      result.notes.push_back(slice.arch + ": minimum macOS " + VersionText(slice.minOs));
    }
  }
  return result;
}

CheckResult CheckImports(const Image& image, const std::vector<std::string>& allowed) {
  CheckResult result;
  for (const Slice& slice : image.slices) {
    const std::size_t before = result.problems.size();
    if ((slice.flags & kFlagTwoLevel) == 0) {
      result.problems.push_back(slice.arch + ": flat namespace: imports do not name their library");
    }
    for (const std::string& library : slice.libraries) {
      if (std::find(allowed.begin(), allowed.end(), library) == allowed.end()) {
        result.problems.push_back(slice.arch + ": loads " + library);
      }
    }
    std::map<std::string, std::size_t> perLibrary;
    for (const Symbol& symbol : slice.symbols) {
      if (!symbol.IsUndefined() || !symbol.IsExternal()) continue;
      const unsigned ordinal = symbol.LibraryOrdinal();
      if (ordinal == 0 || ordinal > slice.libraries.size()) {
        result.problems.push_back(slice.arch + ": " + symbol.name + " names no loaded library (ordinal " +
                                  std::to_string(ordinal) + ")");
        continue;
      }
      const std::string& library = slice.libraries[ordinal - 1];
      ++perLibrary[library];
      if (std::find(allowed.begin(), allowed.end(), library) == allowed.end()) {
        result.problems.push_back(slice.arch + ": " + symbol.name + " comes from " + library);
      }
    }
    if (result.problems.size() == before) {
      std::string summary;
      for (const std::string& library : slice.libraries) {
        summary += (summary.empty() ? "" : ", ") + library + " (" + std::to_string(perLibrary[library]) + " symbols)";
      }
      result.notes.push_back(slice.arch + ": imports only from " + summary);
    }
  }
  return result;
}

CheckResult CheckCodeSignature(const Image& image, const std::vector<std::uint8_t>& bytes,
                               const std::vector<std::string>& required) {
  CheckResult result;
  for (const Slice& slice : image.slices) {
    const bool needed = std::find(required.begin(), required.end(), slice.arch) != required.end();
    if (!slice.hasSignature) {
      if (needed) {
        result.problems.push_back(slice.arch + ": no code signature");
      } else {
        result.notes.push_back(slice.arch + ": not signed");
      }
      continue;
    }
    CheckSliceSignature(slice, bytes.data() + slice.offset, result);
  }
  return result;
}

bool ParsePayloadRecord(const std::string& text, PayloadRecord& record, std::string& error) {
  std::size_t pos = 0;
  if (!ReadNumberAfter(text, "kPayloadSliceLengths[4]", pos, record.sliceLengths[0])) {
    error = "no kPayloadSliceLengths";
    return false;
  }
  for (int i = 1; i < 4; ++i) {
    if (!ReadNumberAfter(text, ",", pos, record.sliceLengths[i])) {
      error = "kPayloadSliceLengths has fewer than four lengths";
      return false;
    }
  }
  std::uint64_t crc = 0;
  pos = 0;
  if (!ReadNumberAfter(text, "kPayloadSize", pos, record.size)) {
    error = "no kPayloadSize";
    return false;
  }
  pos = 0;
  if (!ReadNumberAfter(text, "kPayloadCrc32", pos, crc) || crc > 0xffffffffu) {
    error = "no kPayloadCrc32";
    return false;
  }
  record.crc32 = static_cast<std::uint32_t>(crc);
  return true;
}

CheckResult CheckPayload(const Image& image, const std::vector<std::uint8_t>& bytes,
                         const PayloadRecord& record, const std::vector<std::uint8_t>& archive) {
  CheckResult result;
  const std::uint64_t recorded = record.sliceLengths[0] + record.sliceLengths[1] +
                                 record.sliceLengths[2] + record.sliceLengths[3];
  if (recorded != record.size) {
    result.problems.push_back("the recorded slice lengths add up to " + std::to_string(recorded) +
                              ", not the recorded size " + std::to_string(record.size));
    return result;
  }
  for (const Slice& slice : image.slices) {
    CheckResult sliceResult;
    CheckSlicePayload(slice, bytes.data() + slice.offset, record, archive, sliceResult);
    result.notes.insert(result.notes.end(), sliceResult.notes.begin(), sliceResult.notes.end());
    result.problems.insert(result.problems.end(), sliceResult.problems.begin(), sliceResult.problems.end());
  }
  return result;
}

}  // namespace macho
}  // namespace varnesk
