#pragma once
// Archives made by the tests themselves, and payload tables over them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "installer/Payload.h"

namespace orvtest {

/// Zips `folder` (relative to `base`) with Info-ZIP into `archive`; `options` go to zip.
void ZipFolder(const fs::path& base, const std::string& folder, const fs::path& archive,
               const std::string& options = "-qry");

/// An archive's bytes cut into slices of at most `sliceSize` bytes (four when 0).
class FilePayload {
 public:
  explicit FilePayload(std::vector<unsigned char> bytes, std::size_t sliceSize = 0);
  explicit FilePayload(const fs::path& archive, std::size_t sliceSize = 0)
      : FilePayload(ReadBytes(archive), sliceSize) {}
  varnesk::PayloadView view() const { return {m_slices.data(), m_slices.size()}; }
  /// The same payload read from a temporary file (removed with the last copy), where
  /// the bytes follow a few others.
  varnesk::PayloadView fileView();
  const std::vector<unsigned char>& bytes() const { return m_bytes; }

 private:
  std::vector<unsigned char> m_bytes;
  std::vector<varnesk::PayloadSlice> m_slices;
  std::shared_ptr<std::FILE> m_file;
};

/// Offset of the data of the stored entry `name` in a ZIP archive's bytes.
std::size_t StoredDataOffset(const std::vector<unsigned char>& zip, const std::string& name);

}  // namespace orvtest
