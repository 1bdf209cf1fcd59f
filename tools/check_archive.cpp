// Checks a client archive before it is built into the installer, and fails the build
// with the entry and the rule it breaks:
//   one disk, no ZIP64 records anywhere, no encryption, methods 0 or 8, unique names,
//   relative names without "..", a single top folder "Orvalune Client.app/", the client
//   executable, every repaired link present as a stored link entry with its target
//   text, no entry below a link entry, a total unpacked size within the limit, and a
//   layout the installer reads the same way as the central directory: every local
//   header (name, method, flags, CRC and sizes, from the data descriptor where one
//   follows the data) equal to its central record, and no bytes before, between or
//   after the entries.
//
//   check_archive [--max-unpacked BYTES] ARCHIVE
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "installer/ZipLayout.h"
#include "installer/mac/LinkTable.h"

namespace {

using varnesk::zip::CentralEntry;

const std::string kTopFolder = "Orvalune Client.app/";
const std::string kExecutable = kTopFolder + "Contents/MacOS/OrvaluneClient";

struct Checker {
  std::string archive;
  int problems = 0;

  void Fail(const std::string& entry, const std::string& rule) {
    std::cerr << "check_archive: " << archive << ": ";
    if (!entry.empty()) std::cerr << "entry \"" << entry << "\": ";
    std::cerr << rule << "\n";
    ++problems;
  }
};

bool HasDotDot(const std::string& name) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

// The installer follows the local headers front to back; the archive's own list is its
// central directory. The two must describe the same entries in the same bytes.
void CheckLayout(const std::vector<unsigned char>& bytes, const varnesk::zip::EndRecord& end,
                 const std::vector<CentralEntry>& entries, Checker& check) {
  namespace zip = varnesk::zip;
  std::vector<const CentralEntry*> byOffset;
  for (const CentralEntry& e : entries) byOffset.push_back(&e);
  std::stable_sort(byOffset.begin(), byOffset.end(), [](const CentralEntry* a, const CentralEntry* b) {
    return a->localHeaderOffset < b->localHeaderOffset;
  });
  std::uint64_t expected = 0;
  for (const CentralEntry* e : byOffset) {
    if (e->localHeaderOffset > expected) check.Fail(e->name, "bytes before its local header");
    if (e->localHeaderOffset < expected) check.Fail(e->name, "local header overlaps the entry before it");
    zip::LocalHeader local;
    if (!zip::ReadLocalHeader(bytes, e->localHeaderOffset, local)) {
      check.Fail(e->name, "no local header where the central directory says");
      return;
    }
    const std::size_t extraStart = static_cast<std::size_t>(e->localHeaderOffset) + 30 + local.name.size();
    if (zip::HasZip64Extra(&bytes[extraStart], static_cast<std::size_t>(local.dataOffset - extraStart))) {
      check.Fail(e->name, "uses ZIP64 records");
    }
    if (local.name != e->name) check.Fail(e->name, "local header names \"" + local.name + "\"");
    if (local.method != e->method) {
      check.Fail(e->name, "local header gives method " + std::to_string(local.method));
    }
    if (local.flags != e->flags) check.Fail(e->name, "local header flags differ from the central directory");
    std::uint64_t next = local.dataOffset + e->compressedSize;
    std::uint32_t crc = local.crc32;
    std::uint32_t compressed = local.compressedSize;
    std::uint32_t uncompressed = local.uncompressedSize;
    if (local.HasDataDescriptor()) {
      // CRC and sizes follow the data, with or without the descriptor's signature.
      if (next + 4 <= bytes.size() && zip::Le32(&bytes[next]) == zip::kDataDescriptorSignature) next += 4;
      if (next + 12 > bytes.size()) {
        check.Fail(e->name, "data descriptor missing");
        return;
      }
      crc = zip::Le32(&bytes[next]);
      compressed = zip::Le32(&bytes[next + 4]);
      uncompressed = zip::Le32(&bytes[next + 8]);
      next += 12;
    }
    if (crc != e->crc32 || compressed != e->compressedSize || uncompressed != e->uncompressedSize) {
      check.Fail(e->name, "CRC or sizes differ between the local header and the central directory");
    }
    expected = next;
  }
  if (expected != end.centralDirectoryOffset) {
    check.Fail("", "bytes between the last entry and the central directory");
  }
  if (std::uint64_t{end.centralDirectoryOffset} + end.centralDirectorySize != end.offset) {
    check.Fail("", "bytes between the central directory and the end record (a ZIP64 record?)");
  }
}

std::string WithoutSlash(const std::string& name) {
  return !name.empty() && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t maxUnpacked = 2ull << 30;
  if (argc == 4 && std::string(argv[1]) == "--max-unpacked") {
    maxUnpacked = std::strtoull(argv[2], nullptr, 10);
    argv += 2;
    argc -= 2;
  }
  if (argc != 2) {
    std::cerr << "usage: check_archive [--max-unpacked BYTES] ARCHIVE\n";
    return 2;
  }
  Checker check{argv[1]};
  std::ifstream in(check.archive, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  const std::size_t tailSize = std::min(bytes.size(), varnesk::zip::kMaxEndRecordTail);
  varnesk::zip::EndRecord end;
  if (!in.eof() && !in.good()) {
    check.Fail("", "cannot be read");
    return 1;
  }
  if (!varnesk::zip::FindEndRecord(bytes.data() + bytes.size() - tailSize, tailSize,
                                   bytes.size() - tailSize, end)) {
    check.Fail("", "no end-of-central-directory record (not a ZIP archive, or cut off)");
    return 1;
  }
  if (end.diskNumber != 0 || end.centralDirectoryDisk != 0 ||
      end.entriesOnDisk != end.totalEntries) {
    check.Fail("", "spans several disks");
  }
  if (end.totalEntries == 0xFFFF || end.centralDirectoryOffset == 0xFFFFFFFFu ||
      end.centralDirectorySize == 0xFFFFFFFFu ||
      (end.offset >= 20 &&
       varnesk::zip::Le32(&bytes[end.offset - 20]) == varnesk::zip::kZip64LocatorSignature)) {
    check.Fail("", "uses ZIP64 records");
  }
  std::vector<CentralEntry> entries;
  std::string error;
  if (!varnesk::zip::ReadCentralDirectory(bytes, end, entries, error)) {
    check.Fail("", error);
    return 1;
  }

  CheckLayout(bytes, end, entries, check);

  std::set<std::string> names;
  std::set<std::string> links;
  std::set<std::string> tops;
  std::uint64_t unpacked = 0;
  for (const CentralEntry& e : entries) {
    unpacked += e.uncompressedSize;
    if (!names.insert(e.name).second) check.Fail(e.name, "name occurs twice");
    if (e.flags & 1u) check.Fail(e.name, "is encrypted");
    if (e.method != 0 && e.method != 8) {
      check.Fail(e.name, "compression method " + std::to_string(e.method) + " (only 0 or 8)");
    }
    if (e.compressedSize == 0xFFFFFFFFu || e.uncompressedSize == 0xFFFFFFFFu ||
        e.localHeaderOffset == 0xFFFFFFFFu || e.zip64Extra) {
      check.Fail(e.name, "uses ZIP64 sizes");
    }
    if (e.name.empty() || e.name[0] == '/') check.Fail(e.name, "absolute or empty name");
    if (e.name.find('\\') != std::string::npos) check.Fail(e.name, "name holds a backslash");
    if (HasDotDot(e.name)) check.Fail(e.name, "name holds a \"..\" component");
    tops.insert(e.name.substr(0, e.name.find('/') + 1));
    if (e.IsSymlink()) links.insert(e.name);
  }
  if (unpacked > maxUnpacked) {
    check.Fail("", "unpacks to " + std::to_string(unpacked) + " bytes, above the limit of " +
                       std::to_string(maxUnpacked));
  }
  if (tops.size() != 1 || *tops.begin() != kTopFolder) {
    for (const std::string& top : tops) {
      if (top != kTopFolder) check.Fail(top, "lies outside the single top folder " + kTopFolder);
    }
  }
  for (const CentralEntry& e : entries) {
    // No entry may lie below a link: extraction would write through it.
    for (std::size_t slash = e.name.find('/'); slash != std::string::npos && slash + 1 < e.name.size();
         slash = e.name.find('/', slash + 1)) {
      if (links.count(e.name.substr(0, slash)) != 0) {
        check.Fail(e.name, "lies below the link entry " + e.name.substr(0, slash));
        break;
      }
    }
    if (e.name == kExecutable && (e.IsDirectory() || e.IsSymlink())) {
      check.Fail(e.name, "the client executable must be a regular file");
    }
  }
  if (names.count(kExecutable) == 0) check.Fail(kExecutable, "the client executable is missing");

  for (const varnesk::LinkRow& row : varnesk::kBundleLinks) {
    const std::string name = kTopFolder + row.directory + "/" + row.linkName;
    const CentralEntry* found = nullptr;
    for (const CentralEntry& e : entries) {
      if (WithoutSlash(e.name) == name) found = &e;
    }
    if (found == nullptr) {
      check.Fail(name, "link entry missing (target \"" + std::string(row.target) + "\")");
      continue;
    }
    std::string data;
    if (!found->IsSymlink() || found->method != 0 ||
        !varnesk::zip::ReadStoredData(bytes, *found, data)) {
      check.Fail(name, "must be a stored link entry");
    } else if (data != row.target) {
      check.Fail(name, "link target is \"" + data + "\", expected \"" + row.target + "\"");
    }
  }
  return check.problems == 0 ? 0 : 1;
}
