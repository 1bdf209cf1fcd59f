#include "installer/ClientExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <algorithm>
#include <memory>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/Path.h>

#include "installer/Payload.h"
#include <Poco/Zip/ZipLocalFileHeader.h>

namespace varnesk {
namespace {

using Poco::Zip::ZipCommon;
using Poco::Zip::ZipLocalFileHeader;

constexpr const char* kIllegalPath = "..";  // as Poco rejects it: anywhere in the name
constexpr std::size_t kMaxLinkTarget = 4096;

}  // namespace

ClientExtractor::ClientExtractor(std::istream& in, const PayloadView& payload, const std::string& root,
                                 std::string topFolder, std::set<std::string> links)
    : Poco::Zip::Decompress(in, Poco::Path(root), false, false),
      m_topFolder(std::move(topFolder)),
      m_links(std::move(links)),
      m_payload(payload) {
  Poco::Path absolute(root);
  absolute.makeAbsolute();
  absolute.makeDirectory();
  m_root = absolute.toString();
  m_rootFd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_rootFd >= 0) {
    m_belowRoot = m_root.size();
  } else {
    m_rootFd = AT_FDCWD;
  }
}

ClientExtractor::~ClientExtractor() {
  if (m_rootFd >= 0) ::close(m_rootFd);
}

bool ClientExtractor::MakeDirectories(const std::string& dir) {
  for (std::size_t pos = m_root.size(); pos <= dir.size();) {
    std::size_t end = dir.find('/', pos);
    if (end == std::string::npos) end = dir.size();
    if (end > pos) {
      std::string prefix = dir.substr(0, end);
      if (m_realFolders.count(prefix) == 0) {
        // A folder made here is a real one; what stood there already is looked at.
        const bool made = ::mkdirat(m_rootFd, AtPath(prefix), 0777) == 0;
        if (!made) {
          struct stat st {};
          if (errno != EEXIST || ::fstatat(m_rootFd, AtPath(prefix), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
          }
          if (!S_ISDIR(st.st_mode)) return false;  // a link or a file where a folder must be
        }
        m_realFolders.emplace(std::move(prefix), made);
      }
    }
    pos = end + 1;
  }
  return true;
}

void ClientExtractor::Fail(const ZipLocalFileHeader& hdr, const std::string& message) {
  m_failures.push_back({m_entry, hdr, message});
}

Poco::Zip::ZipArchive ClientExtractor::ExtractAll(unsigned threads) {
  const std::vector<std::unique_ptr<EntryInflater>> inflaters = MakeInflaters(m_payload, threads);
  // The workers unpack files while the walk goes on: every folder a file needs exists
  // before the file is queued. Should the walk throw, the pool drops what has not
  // started and waits for what has, before the caller cleans up.
  FeedingPool pool(static_cast<unsigned>(inflaters.size()), [&](unsigned worker, std::size_t item) {
    Slot* slot = nullptr;
    {
      std::lock_guard<std::mutex> lock(m_slotsMutex);
      slot = &m_slots[item];
    }
    slot->result = inflaters[worker]->Inflate(slot->job);
  });
  m_pool = &pool;
  Poco::Zip::ZipArchive archive = [&] {
    try {
      return decompressAllFiles();
    } catch (...) {
      m_pool = nullptr;
      throw;
    }
  }();
  m_pool = nullptr;
  pool.Finish();
  for (Slot& slot : m_slots) {
    if (slot.result.Ok()) continue;
    // The parser keeps every header it handed over, under the entry's name (it refuses
    // a name twice), so a failed file's header is looked up only when one fails.
    const auto header = archive.findHeader(slot.job.path.substr(m_root.size()));
    if (header == archive.headerEnd()) throw Poco::IllegalStateException("No header for " + slot.job.path);
    m_failures.push_back({slot.entry, header->second, std::move(slot.result.error)});
  }
  std::stable_sort(m_failures.begin(), m_failures.end(),
                   [](const Failure& a, const Failure& b) { return a.entry < b.entry; });
  for (const Failure& failure : m_failures) {
    std::pair<const ZipLocalFileHeader, const std::string> args(failure.hdr, failure.message);
    EError.notify(this, args);
  }
  m_slots.clear();
  m_failures.clear();
  return archive;
}

std::string ClientExtractor::UnsafeReason(const std::string& name) {
  if (name.empty() || name[0] == '/') return "Absolute or empty entry name " + name;
  if (name.find('\\') != std::string::npos) return "Entry name with a backslash " + name;
  if (name.compare(0, m_topFolder.size(), m_topFolder) != 0) {
    return "Entry outside " + m_topFolder + ": " + name;
  }
  // Every folder on the way must be a real folder (or not exist yet), never a link.
  std::string dir = name.substr(0, name.find_last_of('/') + 1);
  if (!dir.empty()) dir.pop_back();
  std::size_t pos = 0;
  // The folder of the previous entry is known to be free of links: most entries share it.
  if (!m_verifiedDir.empty() && (dir == m_verifiedDir || dir.rfind(m_verifiedDir + "/", 0) == 0)) {
    pos = m_verifiedDir.size() + 1;
  }
  while (pos < dir.size() + 1 && !dir.empty()) {
    std::size_t end = dir.find('/', pos);
    if (end == std::string::npos) end = dir.size();
    const std::string path = m_root + dir.substr(0, end);
    if (m_realFolders.count(path) == 0 && IsLink(path)) {
      return "Entry path passes through the link " + path;
    }
    pos = end + 1;
  }
  m_verifiedDir = dir;
  if (name.back() != '/' && IsLink(m_root + name)) return "Entry path is the link " + m_root + name;
  return std::string();
}

bool ClientExtractor::IsLink(const std::string& path) const {
  const auto folder = m_realFolders.find(path.substr(0, path.find_last_of('/')));
  if (folder != m_realFolders.end() && folder->second) return m_madeLinks.count(path) != 0;
  struct stat st {};
  return ::fstatat(m_rootFd, AtPath(path), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool ClientExtractor::handleZipEntry(std::istream& zipStream, const ZipLocalFileHeader& hdr) {
  ++m_entry;
  const std::string& name = hdr.getFileName();
  // Poco's isDirectory() reads the last character of the name: never ask for an empty one.
  const bool isDirectory = !name.empty() && hdr.isDirectory();
  // A folder whose name holds ".." makes the archive unreadable, as Poco has it.
  if (isDirectory && name.find(kIllegalPath) != std::string::npos) {
    return Decompress::handleZipEntry(zipStream, hdr);
  }
  const std::string reason = UnsafeReason(name);
  if (!reason.empty()) {
    Fail(hdr, reason);
    if (hdr.searchCRCAndSizesAfterData()) return false;  // the parser searches the next entry
    // A folder entry carries no data; the parser reads on right after its header.
    if (!isDirectory) {
      zipStream.seekg(static_cast<std::streamoff>(hdr.getCompressedSize()), std::ios::cur);
    }
    return true;
  }
  if (isDirectory) {
    if (!MakeDirectories(m_root + name)) Fail(hdr, "Failed to create folder " + name);
    return true;
  }
  if (m_links.count(name) != 0) return ExtractLink(zipStream, hdr);
  // Entries this path does not handle keep Poco's own treatment.
  const auto method = hdr.getCompressionMethod();
  if (hdr.searchCRCAndSizesAfterData() || hdr.isEncrypted() ||
      (method != ZipCommon::CM_STORE && method != ZipCommon::CM_DEFLATE) ||
      name.find(kIllegalPath) != std::string::npos) {
    return Decompress::handleZipEntry(zipStream, hdr);
  }
  return QueueFile(zipStream, hdr, m_root + name);
}

std::string ClientExtractor::UnsafeLinkReason(const std::string& name,
                                              const std::string& target) const {
  if (target.empty() || target[0] == '/' || target.find('\0') != std::string::npos) {
    return "Link " + name + " to an absolute or empty target";
  }
  // Depth of the link's folder below the top folder; the target may not climb above it.
  long depth = 0;
  for (std::size_t i = m_topFolder.size(); i < name.size(); ++i) depth += name[i] == '/' ? 1 : 0;
  for (std::size_t pos = 0; pos <= target.size();) {
    std::size_t end = target.find('/', pos);
    if (end == std::string::npos) end = target.size();
    const std::string part = target.substr(pos, end - pos);
    if (part == "..") {
      if (--depth < 0) return "Link " + name + " points outside the bundle: " + target;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    pos = end + 1;
  }
  return std::string();
}

bool ClientExtractor::ExtractLink(std::istream& in, const ZipLocalFileHeader& hdr) {
  const std::string& name = hdr.getFileName();
  const std::string path = m_root + name;
  const auto method = hdr.getCompressionMethod();
  if (hdr.searchCRCAndSizesAfterData() || hdr.isEncrypted()) {
    Fail(hdr, "Unsupported link entry " + name);
    return !hdr.searchCRCAndSizesAfterData();
  }
  const std::uint64_t packedSize = hdr.getCompressedSize();
  if ((method != ZipCommon::CM_STORE && method != ZipCommon::CM_DEFLATE) ||
      hdr.getUncompressedSize() > kMaxLinkTarget || packedSize > kMaxLinkTarget + 1024) {
    Fail(hdr, "Unsupported link entry " + name);
    in.seekg(static_cast<std::streamoff>(packedSize), std::ios::cur);
    return true;
  }
  std::string packed(packedSize, '\0');
  in.read(&packed[0], static_cast<std::streamsize>(packedSize));
  if (static_cast<std::uint64_t>(in.gcount()) != packedSize) {
    Fail(hdr, "Exception: unexpected end of the archive in " + path);
    return true;
  }
  std::string target = packed;
  if (method == ZipCommon::CM_DEFLATE && !InflateWhole(packed, hdr.getUncompressedSize(), target)) {
    Fail(hdr, "CRC mismatch. Corrupt file: " + path);
    return true;
  }
  if (crc32(0L, reinterpret_cast<const Bytef*>(target.data()), static_cast<uInt>(target.size())) !=
          hdr.getCRC() ||
      target.size() != hdr.getUncompressedSize()) {
    Fail(hdr, "CRC mismatch. Corrupt file: " + path);
    return true;
  }
  const std::string reason = UnsafeLinkReason(name, target);
  if (!reason.empty()) {
    Fail(hdr, reason);
    return true;
  }
  if (!MakeDirectories(path.substr(0, path.find_last_of('/'))) ||
      ::symlinkat(target.c_str(), m_rootFd, AtPath(path)) != 0) {
    Fail(hdr, "Failed to create link " + path);
    return true;
  }
  m_madeLinks.insert(path);
  return true;
}

bool ClientExtractor::QueueFile(std::istream& in, const ZipLocalFileHeader& hdr,
                                const std::string& path) {
  const std::uint64_t compressedSize = hdr.getCompressedSize();
  const std::streamoff dataOffset = in.tellg();
  // The parser finds the next header right after this entry's data.
  in.seekg(static_cast<std::streamoff>(compressedSize), std::ios::cur);
  if (!MakeDirectories(path.substr(0, path.find_last_of('/')))) {
    Fail(hdr, "Failed to create output stream " + path);
    return true;
  }
  if (dataOffset < 0 || static_cast<std::uint64_t>(dataOffset) + compressedSize > m_payload.Size()) {
    Fail(hdr, "Exception: unexpected end of the archive in " + path);
    return true;
  }
  EntryJob job;
  job.dataOffset = static_cast<std::uint64_t>(dataOffset);
  job.compressedSize = compressedSize;
  job.uncompressedSize = hdr.getUncompressedSize();
  job.crc32 = hdr.getCRC();
  job.method = static_cast<std::uint16_t>(hdr.getCompressionMethod());
  job.path = path;
  job.folderFd = m_rootFd;
  job.belowFolder = m_belowRoot;
  const std::uint64_t weight = job.Weight();
  std::size_t item = 0;
  {
    std::lock_guard<std::mutex> lock(m_slotsMutex);
    item = m_slots.size();
    m_slots.push_back({std::move(job), EntryResult(), m_entry});
  }
  if (m_pool != nullptr) m_pool->Add(item, weight);
  return true;
}

}  // namespace varnesk
