#include "installer/ClientExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <Poco/Path.h>

#include "installer/Payload.h"
#include <Poco/Zip/ZipLocalFileHeader.h>

namespace varnesk {
namespace {

using Poco::Zip::ZipCommon;
using Poco::Zip::ZipLocalFileHeader;

constexpr const char* kIllegalPath = "..";  // as Poco rejects it: anywhere in the name
constexpr std::size_t kMaxLinkTarget = 4096;

// Writes all of `size` bytes; false on a write error.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Creates `dir` and its missing parents below `root` (which exists), refusing to pass
// through a link. `dir` is `root` followed by relative components.
bool MakeDirectories(const std::string& root, const std::string& dir) {
  for (std::size_t pos = root.size(); pos <= dir.size();) {
    std::size_t end = dir.find('/', pos);
    if (end == std::string::npos) end = dir.size();
    if (end > pos) {
      const std::string prefix = dir.substr(0, end);
      struct stat st {};
      if (::lstat(prefix.c_str(), &st) != 0) {
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
        if (::lstat(prefix.c_str(), &st) != 0) return false;
      }
      if (!S_ISDIR(st.st_mode)) return false;  // a link or a file where a folder must be
    }
    pos = end + 1;
  }
  return true;
}

}  // namespace

ClientExtractor::ClientExtractor(std::istream& in, const std::string& root, std::string topFolder,
                                 std::set<std::string> links)
    : Poco::Zip::Decompress(in, Poco::Path(root), false, false),
      m_topFolder(std::move(topFolder)),
      m_links(std::move(links)),
      m_input(kBufferSize),
      m_output(kBufferSize) {
  Poco::Path absolute(root);
  absolute.makeAbsolute();
  absolute.makeDirectory();
  m_root = absolute.toString();
}

void ClientExtractor::Fail(const ZipLocalFileHeader& hdr, const std::string& message) {
  std::pair<const ZipLocalFileHeader, const std::string> args(hdr, message);
  EError.notify(this, args);
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
    const std::string prefix = dir.substr(0, end);
    struct stat st {};
    if (::lstat((m_root + prefix).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return "Entry path passes through the link " + m_root + prefix;
    }
    pos = end + 1;
  }
  m_verifiedDir = dir;
  if (name.back() != '/') {
    struct stat st {};
    if (::lstat((m_root + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return "Entry path is the link " + m_root + name;
    }
  }
  return std::string();
}

bool ClientExtractor::handleZipEntry(std::istream& zipStream, const ZipLocalFileHeader& hdr) {
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
    if (!MakeDirectories(m_root, m_root + name)) Fail(hdr, "Failed to create folder " + name);
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
  return ExtractFile(zipStream, hdr, m_root + name);
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
  if (!MakeDirectories(m_root, path.substr(0, path.find_last_of('/'))) ||
      ::symlink(target.c_str(), path.c_str()) != 0) {
    Fail(hdr, "Failed to create link " + path);
  }
  return true;
}

bool ClientExtractor::ExtractFile(std::istream& in, const ZipLocalFileHeader& hdr,
                                  const std::string& path) {
  const std::uint64_t compressedSize = hdr.getCompressedSize();
  std::uint64_t left = compressedSize;
  // Skips what is left of the entry's data so the parser finds the next header.
  auto skipRest = [&] {
    if (left > 0) in.seekg(static_cast<std::streamoff>(left), std::ios::cur);
    return true;
  };

  const std::size_t slash = path.find_last_of('/');
  if (!MakeDirectories(m_root, path.substr(0, slash))) {
    Fail(hdr, "Failed to create output stream " + path);
    return skipRest();
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    Fail(hdr, "Failed to create output stream " + path);
    return skipRest();
  }

  std::vector<unsigned char>& input = m_input;
  std::vector<unsigned char>& output = m_output;
  const bool deflated = hdr.getCompressionMethod() == ZipCommon::CM_DEFLATE;
  z_stream zs{};
  if (deflated && inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    ::close(fd);
    Fail(hdr, "Exception: zlib could not start");
    return skipRest();
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> inflater(deflated ? &zs : nullptr, inflateEnd);

  uLong crc = crc32(0L, Z_NULL, 0);
  std::uint64_t produced = 0;
  std::string error;
  bool streamEnded = !deflated;
  while (error.empty() && left > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, input.size()));
    in.read(reinterpret_cast<char*>(input.data()), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in.gcount());
    left -= got;
    if (got < want) error = "Exception: unexpected end of the archive in " + path;
    if (!deflated) {
      crc = crc32(crc, input.data(), static_cast<uInt>(got));
      produced += got;
      if (!WriteAll(fd, input.data(), got)) error = "Exception: cannot write " + path;
      continue;
    }
    zs.next_in = input.data();
    zs.avail_in = static_cast<uInt>(got);
    while (error.empty() && zs.avail_in > 0 && !streamEnded) {
      zs.next_out = output.data();
      zs.avail_out = static_cast<uInt>(output.size());
      const int rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
        error = "Exception: corrupt deflate data in " + path;
        break;
      }
      const std::size_t out = output.size() - zs.avail_out;
      crc = crc32(crc, output.data(), static_cast<uInt>(out));
      produced += out;
      if (!WriteAll(fd, output.data(), out)) error = "Exception: cannot write " + path;
      if (rc == Z_STREAM_END) streamEnded = true;
      if (rc == Z_BUF_ERROR && out == 0) break;
    }
  }
  const bool closed = ::close(fd) == 0;
  if (error.empty() && !closed) error = "Exception: cannot write " + path;
  if (!error.empty()) {
    // Like an exception while writing: the file stays as far as it was written.
    Fail(hdr, error);
    return skipRest();
  }
  if (crc != hdr.getCRC() || !streamEnded) {
    ::unlink(path.c_str());
    Fail(hdr, "CRC mismatch. Corrupt file: " + path);
    return true;
  }
  if (produced != hdr.getUncompressedSize()) {
    ::unlink(path.c_str());
    Fail(hdr, "Filesizes do not match. Corrupt file: " + path);
    return true;
  }
  return true;
}

}  // namespace varnesk
