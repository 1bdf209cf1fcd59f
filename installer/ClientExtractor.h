#pragma once
// The extractor of the client archive: Poco's Decompress, with entry data inflated by
// zlib in large buffers and written in large blocks, and with a guard that keeps every
// write inside the target folder.
//
// Observable behaviour is Poco's: the same files and folders; each failed entry raised
// through EError (CRC or size mismatch, a file that cannot be created, an unsupported
// method, a name holding ".."); a file that fails its CRC or size check deleted again;
// a folder entry holding ".." or a repeated name thrown out of decompressAllFiles().
// In addition, an entry fails when its name is absolute or holds a backslash, or when
// its path below the target meets an existing symbolic link: nothing is ever written
// through a link or outside the target.
#include <string>
#include <vector>

#include <Poco/Zip/Decompress.h>

namespace varnesk {

class ClientExtractor : public Poco::Zip::Decompress {
 public:
  /// `root` is the existing folder that receives the entries.
  ClientExtractor(std::istream& in, const std::string& root);

  bool handleZipEntry(std::istream& zipStream, const Poco::Zip::ZipLocalFileHeader& hdr) override;

  /// Size of the read, inflate and write buffers.
  static constexpr std::size_t kBufferSize = 256 * 1024;

 private:
  // Why `name` may not be written below the root ("" when it may).
  std::string UnsafeReason(const std::string& name);
  bool ExtractFile(std::istream& in, const Poco::Zip::ZipLocalFileHeader& hdr,
                   const std::string& path);
  void Fail(const Poco::Zip::ZipLocalFileHeader& hdr, const std::string& message);

  std::string m_root;  // with a trailing "/"
  std::string m_verifiedDir;  // last folder found free of links (most entries share it)
  std::vector<unsigned char> m_input;   // allocated once: zeroing per file cost a quarter
  std::vector<unsigned char> m_output;  // of the extraction's instructions
};

}  // namespace varnesk
