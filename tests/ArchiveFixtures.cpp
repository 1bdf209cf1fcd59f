#include "ArchiveFixtures.h"

#include <algorithm>
#include <stdexcept>

#include "installer/ZipLayout.h"

namespace orvtest {

void ZipFolder(const fs::path& base, const std::string& folder, const fs::path& archive,
               const std::string& options) {
  const std::string command = "cd " + Quote(base.string()) + " && zip " + options + " " +
                              Quote(archive.string()) + " " + Quote(folder);
  if (Shell(command) != 0) throw std::runtime_error("zip failed: " + command);
}

FilePayload::FilePayload(std::vector<unsigned char> bytes, std::size_t sliceSize)
    : m_bytes(std::move(bytes)) {
  if (sliceSize == 0) sliceSize = std::max<std::size_t>(1, (m_bytes.size() + 3) / 4);
  for (std::size_t pos = 0; pos < m_bytes.size(); pos += sliceSize) {
    const std::size_t length = std::min(sliceSize, m_bytes.size() - pos);
    m_slices.push_back({m_bytes.data() + pos, static_cast<std::int32_t>(length)});
  }
}

varnesk::PayloadView FilePayload::fileView() {
  constexpr std::size_t kBefore = 1000;
  if (!m_file) {
    m_file.reset(std::tmpfile(), [](std::FILE* f) { std::fclose(f); });
    if (!m_file) throw std::runtime_error("no temporary file");
    const std::vector<unsigned char> before(kBefore, 0x5A);
    if (std::fwrite(before.data(), 1, before.size(), m_file.get()) != before.size() ||
        std::fwrite(m_bytes.data(), 1, m_bytes.size(), m_file.get()) != m_bytes.size() ||
        std::fflush(m_file.get()) != 0) {
      throw std::runtime_error("cannot write the temporary file");
    }
  }
  varnesk::PayloadView payload = view();
  payload.fd = fileno(m_file.get());
  payload.fileOffset = kBefore;
  return payload;
}

std::size_t StoredDataOffset(const std::vector<unsigned char>& zip, const std::string& name) {
  const std::size_t tail = std::min(zip.size(), varnesk::zip::kMaxEndRecordTail);
  varnesk::zip::EndRecord end;
  std::vector<varnesk::zip::CentralEntry> entries;
  std::string error;
  if (!varnesk::zip::FindEndRecord(zip.data() + zip.size() - tail, tail, zip.size() - tail, end) ||
      !varnesk::zip::ReadCentralDirectory(zip, end, entries, error)) {
    throw std::runtime_error("not a zip archive");
  }
  for (const auto& e : entries) {
    if (e.name != name) continue;
    const std::size_t local = e.localHeaderOffset;
    return local + 30 + varnesk::zip::Le16(&zip[local + 26]) + varnesk::zip::Le16(&zip[local + 28]);
  }
  throw std::runtime_error("no entry " + name);
}

}  // namespace orvtest
