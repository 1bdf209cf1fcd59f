#pragma once
// The extractor of the client archive: Poco's Decompress, with entry data inflated by
// zlib in large buffers and written in large blocks, and with a guard that keeps every
// write inside the target folder.
//
// Observable behaviour is Poco's: the same files and folders; each failed entry raised
// through EError (CRC or size mismatch, a file that cannot be created, an unsupported
// method, a name holding ".."); a file that fails its CRC or size check deleted again;
// a folder entry holding ".." or a repeated name thrown out of decompressAllFiles().
// In addition, an entry fails when its name is absolute or holds a backslash, when it
// lies outside the required top folder, or when its path below the target meets an
// existing symbolic link: nothing is ever written through a link or outside the target.
//
// Entries named as links (by the archive's central directory; local headers cannot say)
// become symbolic links with their stored target. A target that is absolute, or that
// climbs out of the top folder, fails the entry.
#include <set>
#include <string>
#include <vector>

#include <Poco/Zip/Decompress.h>

namespace varnesk {

class ClientExtractor : public Poco::Zip::Decompress {
 public:
  /// `root` is the existing folder that receives the entries. With a `topFolder`
  /// ("Name/"), every entry must lie inside it. `links` names the link entries.
  ClientExtractor(std::istream& in, const std::string& root, std::string topFolder = std::string(),
                  std::set<std::string> links = {});

  bool handleZipEntry(std::istream& zipStream, const Poco::Zip::ZipLocalFileHeader& hdr) override;

  /// Size of the read, inflate and write buffers.
  static constexpr std::size_t kBufferSize = 256 * 1024;

 private:
  // Why `name` may not be written below the root ("" when it may).
  std::string UnsafeReason(const std::string& name);
  bool ExtractFile(std::istream& in, const Poco::Zip::ZipLocalFileHeader& hdr,
                   const std::string& path);
  bool ExtractLink(std::istream& in, const Poco::Zip::ZipLocalFileHeader& hdr);
  // Why the link `name` may not point to `target` ("" when it may).
  std::string UnsafeLinkReason(const std::string& name, const std::string& target) const;
  void Fail(const Poco::Zip::ZipLocalFileHeader& hdr, const std::string& message);

  std::string m_root;  // with a trailing "/"
  std::string m_topFolder;
  std::set<std::string> m_links;
  std::string m_verifiedDir;  // last folder found free of links (most entries share it)
  std::vector<unsigned char> m_input;   // allocated once: zeroing per file cost a quarter
  std::vector<unsigned char> m_output;  // of the extraction's instructions
};

}  // namespace varnesk
