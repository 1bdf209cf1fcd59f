#include "installer/ZipLayout.h"

#include <algorithm>

namespace varnesk {
namespace zip {
namespace {

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;

}  // namespace

bool HasZip64Extra(const unsigned char* extra, std::size_t size) {
  for (std::size_t pos = 0; pos + 4 <= size; pos += 4 + Le16(extra + pos + 2)) {
    if (Le16(extra + pos) == kZip64ExtraId) return true;
  }
  return false;
}

bool FindEndRecord(const unsigned char* tail, std::size_t tailSize, std::uint64_t tailOffset,
                   EndRecord& record) {
  if (tailSize < kEndRecordSize) return false;
  // Scan backwards so that a signature inside a comment does not win over the record.
  for (std::size_t pos = tailSize - kEndRecordSize + 1; pos-- > 0;) {
    const unsigned char* p = tail + pos;
    if (Le32(p) != kEndRecordSignature) continue;
    const std::uint16_t commentLength = Le16(p + 20);
    if (pos + kEndRecordSize + commentLength != tailSize) continue;
    record.offset = tailOffset + pos;
    record.diskNumber = Le16(p + 4);
    record.centralDirectoryDisk = Le16(p + 6);
    record.entriesOnDisk = Le16(p + 8);
    record.totalEntries = Le16(p + 10);
    record.centralDirectorySize = Le32(p + 12);
    record.centralDirectoryOffset = Le32(p + 16);
    record.commentLength = commentLength;
    return true;
  }
  return false;
}

bool ReadCentralDirectory(const unsigned char* directory, std::size_t size, const EndRecord& end,
                          std::vector<CentralEntry>& entries, std::string& error) {
  entries.clear();
  if (end.centralDirectorySize > size) {
    error = "central directory lies outside the archive";
    return false;
  }
  std::size_t pos = 0;
  for (unsigned i = 0; i < end.totalEntries; ++i) {
    if (pos + kCentralHeaderSize > size || Le32(directory + pos) != kCentralHeaderSignature) {
      error = "central directory entry " + std::to_string(i) + " is damaged";
      return false;
    }
    const unsigned char* p = directory + pos;
    CentralEntry entry;
    entry.versionMadeBy = Le16(p + 4);
    entry.flags = Le16(p + 8);
    entry.method = Le16(p + 10);
    entry.crc32 = Le32(p + 16);
    entry.compressedSize = Le32(p + 20);
    entry.uncompressedSize = Le32(p + 24);
    const std::uint16_t nameLength = Le16(p + 28);
    const std::uint16_t extraLength = Le16(p + 30);
    const std::uint16_t commentLength = Le16(p + 32);
    entry.diskStart = Le16(p + 34);
    entry.externalAttributes = Le32(p + 38);
    entry.localHeaderOffset = Le32(p + 42);
    const std::size_t next = pos + kCentralHeaderSize + nameLength + extraLength + commentLength;
    if (next > size) {
      error = "central directory entry " + std::to_string(i) + " runs past the directory";
      return false;
    }
    entry.name.assign(reinterpret_cast<const char*>(p + kCentralHeaderSize), nameLength);
    entry.zip64Extra = HasZip64Extra(p + kCentralHeaderSize + nameLength, extraLength);
    entries.push_back(std::move(entry));
    pos = next;
  }
  return true;
}

bool ReadCentralDirectory(const std::vector<unsigned char>& archive, const EndRecord& end,
                          std::vector<CentralEntry>& entries, std::string& error) {
  entries.clear();
  const std::uint64_t limit = std::min<std::uint64_t>(end.offset, archive.size());
  if (end.centralDirectoryOffset > limit) {
    error = "central directory lies outside the archive";
    return false;
  }
  return ReadCentralDirectory(archive.data() + end.centralDirectoryOffset,
                              static_cast<std::size_t>(limit - end.centralDirectoryOffset), end,
                              entries, error);
}

bool ReadLocalHeader(const std::vector<unsigned char>& archive, std::uint64_t offset,
                     LocalHeader& header) {
  if (offset + kLocalHeaderSize > archive.size() || Le32(&archive[offset]) != kLocalHeaderSignature) {
    return false;
  }
  const unsigned char* p = &archive[offset];
  header.offset = offset;
  header.flags = Le16(p + 6);
  header.method = Le16(p + 8);
  header.crc32 = Le32(p + 14);
  header.compressedSize = Le32(p + 18);
  header.uncompressedSize = Le32(p + 22);
  const std::uint16_t nameLength = Le16(p + 26);
  const std::uint16_t extraLength = Le16(p + 28);
  header.dataOffset = offset + kLocalHeaderSize + nameLength + extraLength;
  if (header.dataOffset > archive.size()) return false;
  header.name.assign(reinterpret_cast<const char*>(p + kLocalHeaderSize), nameLength);
  return true;
}

bool ReadStoredData(const std::vector<unsigned char>& archive, const CentralEntry& entry,
                    std::string& data) {
  LocalHeader header;
  if (!ReadLocalHeader(archive, entry.localHeaderOffset, header) ||
      header.dataOffset + entry.compressedSize > archive.size()) {
    return false;
  }
  data.assign(reinterpret_cast<const char*>(&archive[header.dataOffset]), entry.compressedSize);
  return true;
}

}  // namespace zip
}  // namespace varnesk
