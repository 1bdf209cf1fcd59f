#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include <libdeflate.h>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "installer/EntryInflater.h"
#include "installer/Payload.h"
#include "installer/ZipLayout.h"
#include "platform/MemoryPages.h"

namespace {

constexpr std::size_t kBlock = varnesk::kPayloadReleaseBlock;

// A private mapping of `length` bytes at an address aligned to a release block:
// anonymous, or of a file, read-only.
class Mapping {
 public:
  explicit Mapping(std::size_t length) : m_length(length) {
    Map(PROT_READ | PROT_WRITE, MAP_ANONYMOUS, -1);
  }
  explicit Mapping(const orvtest::fs::path& file) : m_length(orvtest::fs::file_size(file)) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    Map(PROT_READ, 0, fd);
    ::close(fd);
  }
  ~Mapping() {
    if (m_reserved != MAP_FAILED) ::munmap(m_reserved, m_length + kBlock);
  }
  unsigned char* bytes() const { return m_bytes; }
  bool ok() const { return m_bytes != nullptr; }

  // Resident bytes of this mapping, from /proc/self/smaps.
  std::size_t Resident() const {
    std::ifstream smaps("/proc/self/smaps");
    std::ostringstream start;
    start << std::hex << reinterpret_cast<std::uintptr_t>(m_bytes) << "-";
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
      if (line.find('-') != std::string::npos && line.find(' ') > line.find('-') &&
          std::isxdigit(static_cast<unsigned char>(line[0]))) {
        inside = line.rfind(start.str(), 0) == 0;
      } else if (inside && line.rfind("Rss:", 0) == 0) {
        return std::stoul(line.substr(4)) * 1024;
      }
    }
    return 0;
  }

 private:
  void Map(int protection, int flags, int fd) {
    m_reserved = ::mmap(nullptr, m_length + kBlock, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m_reserved == MAP_FAILED) return;
    const std::uintptr_t aligned = (reinterpret_cast<std::uintptr_t>(m_reserved) + kBlock - 1) / kBlock * kBlock;
    void* mapped = ::mmap(reinterpret_cast<void*>(aligned), m_length, protection,
                          MAP_PRIVATE | MAP_FIXED | flags, fd, 0);
    if (mapped != MAP_FAILED) m_bytes = static_cast<unsigned char*>(mapped);
  }

  std::size_t m_length;
  void* m_reserved = MAP_FAILED;
  unsigned char* m_bytes = nullptr;
};

// Anonymous pages come back zeroed once dropped, so they show exactly which blocks a
// release took: only those wholly inside the range, slice by slice.
TEST(PayloadPages, LargeBuffersComeInWholeAlignedLargePages) {
  constexpr std::size_t kLarge = 2 * 1024 * 1024;
  for (const std::size_t wanted : {std::size_t{0}, std::size_t{1}, std::size_t{4097}, kLarge - 1, kLarge,
                                   5 * kLarge + 17}) {
    SCOPED_TRACE(wanted);
    std::size_t size = wanted;
    auto* bytes = static_cast<unsigned char*>(platform::AllocatePages(size));
    ASSERT_NE(bytes, nullptr);
    EXPECT_GE(size, std::max<std::size_t>(wanted, 1));
    EXPECT_EQ(size % platform::PageSize(), 0u);
    if (wanted >= kLarge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % kLarge, 0u);
      EXPECT_EQ(size % kLarge, 0u);
    }
    std::memset(bytes, 0xA5, size);  // all of it is ours to write
    EXPECT_EQ(bytes[size - 1], 0xA5);
    platform::FreePages(bytes, size);
  }
}

TEST(PayloadPages, ReleaseTakesOnlyWholeBlocksInsideTheRange) {
  Mapping memory(8 * kBlock);
  ASSERT_TRUE(memory.ok());
  std::memset(memory.bytes(), 0xAB, 8 * kBlock);
  // Two slices meeting in the middle of block 3.
  const varnesk::PayloadSlice slices[] = {
      {memory.bytes(), static_cast<std::int32_t>(3 * kBlock + kBlock / 2)},
      {memory.bytes() + 3 * kBlock + kBlock / 2, static_cast<std::int32_t>(4 * kBlock + kBlock / 2)},
  };
  varnesk::PayloadView view{slices, 2};
  varnesk::ReleasePayloadPages(view, 100, 6 * kBlock + 50);
  for (std::size_t b = 0; b < 8; ++b) EXPECT_EQ(memory.bytes()[b * kBlock + 7], 0xAB) << "block " << b;

  view.releasable = true;
  varnesk::ReleasePayloadPages(view, 100, 6 * kBlock + 50);
  varnesk::ReleasePayloadPages(view, 7 * kBlock + 1, 8 * kBlock);  // no whole block
  const bool dropped[] = {false, true, true, false, true, true, false, false};
  for (std::size_t b = 0; b < 8; ++b) {
    SCOPED_TRACE(b);
    for (std::size_t at : {std::size_t{0}, kBlock / 2, kBlock - 1}) {
      EXPECT_EQ(memory.bytes()[b * kBlock + at], dropped[b] ? 0 : 0xAB);
    }
  }
}

// A release around a range takes every block the range touches, but never a page
// outside the slices: beyond them may lie memory that must keep its bytes.
TEST(PayloadPages, ReleaseAroundStaysWithinTheSlicesPages) {
  const std::size_t page = platform::PageSize();
  struct Case {
    const char* what;
    std::uint64_t begin, end;               // archive bytes released
    std::size_t firstDropped, endDropped;   // memory offsets expected zeroed
  };
  // The slices: [1 block + 3 pages + 100, 4.5 blocks) and [4.5 blocks, 7 blocks - 3
  // pages - 100) of memory: their first and last blocks reach past them.
  const std::size_t start = kBlock + 3 * page + 100;
  const std::size_t stop = 7 * kBlock - 3 * page - 100;
  const std::size_t lastPageEnd = (stop + page - 1) / page * page;
  const Case cases[] = {
      {"inside one block", 3 * kBlock + 10 - start, 3 * kBlock + 20 - start, 3 * kBlock, 4 * kBlock},
      {"across the slices' seam", 4 * kBlock - start, 5 * kBlock + 1 - start, 4 * kBlock, 6 * kBlock},
      {"from the first byte", 0, 1, start / page * page, 2 * kBlock},
      {"to the last byte", stop - 1 - start, stop - start, 6 * kBlock, lastPageEnd},
      {"past the end", stop - start - 1, stop - start + 5 * kBlock, 6 * kBlock, lastPageEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Mapping memory(8 * kBlock);
    ASSERT_TRUE(memory.ok());
    std::memset(memory.bytes(), 0xAB, 8 * kBlock);
    const varnesk::PayloadSlice slices[] = {
        {memory.bytes() + start, static_cast<std::int32_t>(4 * kBlock + kBlock / 2 - start)},
        {memory.bytes() + 4 * kBlock + kBlock / 2, static_cast<std::int32_t>(stop - 4 * kBlock - kBlock / 2)},
    };
    varnesk::PayloadView view{slices, 2};
    varnesk::ReleasePayloadPagesAround(view, c.begin, c.end);
    EXPECT_EQ(memory.bytes()[c.firstDropped], 0xAB) << "not releasable: nothing goes";
    view.releasable = true;
    varnesk::ReleasePayloadPagesAround(view, c.begin, c.end);
    for (std::size_t at = 0; at < 8 * kBlock; at += page) {
      const bool dropped = at >= c.firstDropped && at < c.endDropped;
      ASSERT_EQ(memory.bytes()[at], dropped ? 0 : 0xAB) << "page at " << at;
    }
  }
}

class FilePayloadPages : public ::testing::Test {
 protected:
  FilePayloadPages() {
    std::string content;
    for (int i = 0; content.size() < 9 * 1024 * 1024; ++i) content += "row " + std::to_string(i) + "\n";
    orvtest::WriteFile(tmp.path() / "src" / "Orvalune Client.app" / "data", content);
    orvtest::ZipFolder(tmp.path() / "src", "Orvalune Client.app", archive, "-qry0");
    bytes = orvtest::ReadBytes(archive);
  }

  orvtest::TempDir tmp;
  orvtest::fs::path archive = tmp.path() / "a.zip";
  std::vector<unsigned char> bytes;
};

// The program's payload lies in read-only pages of its file: dropped pages come back
// from the file with the same bytes.
TEST_F(FilePayloadPages, CheckLeavesAReleasablePayloadUnmappedAndIntact) {
  Mapping file(archive);
  ASSERT_TRUE(file.ok());
  const std::size_t quarter = bytes.size() / 4 + 1;
  std::vector<varnesk::PayloadSlice> slices;
  for (std::size_t pos = 0; pos < bytes.size(); pos += quarter) {
    slices.push_back({file.bytes() + pos, static_cast<std::int32_t>(std::min(quarter, bytes.size() - pos))});
  }
  const auto crc = libdeflate_crc32(0, bytes.data(), bytes.size());
  varnesk::PayloadView view{slices.data(), slices.size()};

  EXPECT_TRUE(varnesk::IsIntactPayload(view, bytes.size(), crc));
  EXPECT_GT(file.Resident(), bytes.size() * 9 / 10);

  view.releasable = true;
  EXPECT_TRUE(varnesk::IsIntactPayload(view, bytes.size(), crc));
  // Left mapped: the last, partial block, which holds the end record read after the
  // check (the slices follow each other in memory: blocks they share are dropped too).
  EXPECT_LE(file.Resident(), bytes.size() % kBlock + platform::PageSize());
  EXPECT_EQ(std::memcmp(file.bytes(), bytes.data(), bytes.size()), 0);
  EXPECT_TRUE(varnesk::IsIntactPayload(view, bytes.size(), crc));
}

TEST_F(FilePayloadPages, InflaterDropsTheEntryItUnpacked) {
  Mapping file(archive);
  ASSERT_TRUE(file.ok());
  const varnesk::PayloadSlice slice{file.bytes(), static_cast<std::int32_t>(bytes.size())};
  varnesk::PayloadView view{&slice, 1};
  view.releasable = true;
  const std::size_t data = orvtest::StoredDataOffset(bytes, "Orvalune Client.app/data");
  const std::string content = orvtest::ReadFile(tmp.path() / "src" / "Orvalune Client.app" / "data");
  varnesk::EntryJob job;
  job.dataOffset = data;
  job.compressedSize = job.uncompressedSize = content.size();
  job.crc32 = libdeflate_crc32(0, content.data(), content.size());
  job.path = (tmp.path() / "out").string();

  varnesk::EntryInflater inflater(view);
  EXPECT_TRUE(inflater.Inflate(job).Ok());
  // Gone: the blocks wholly inside the entry's data (at least three of the file's five).
  const std::size_t inside = (data + content.size()) / kBlock - (data + kBlock - 1) / kBlock;
  EXPECT_GE(inside, 3u);
  EXPECT_LE(file.Resident(), bytes.size() - inside * kBlock + platform::PageSize());
  EXPECT_EQ(orvtest::ReadFile(job.path), content);
  EXPECT_EQ(std::memcmp(file.bytes(), bytes.data(), bytes.size()), 0);
}

// A payload read from its file: large entries are read in place from the slices (and
// their pages dropped again), small ones from the file. The file given here differs
// from the slices in one entry's data, which shows where each entry was read.
TEST(FilePayloadInPlace, LargeEntriesComeFromTheSlicesSmallOnesFromTheFile) {
  orvtest::TempDir tmp;
  const auto app = tmp.path() / "src" / "Orvalune Client.app";
  std::string large;
  for (unsigned i = 0; large.size() < 4 * 1024 * 1024; ++i) {
    large += "row " + std::to_string(i * 7919u % 1000003u) + "\n";
  }
  const std::string small = large.substr(0, 48 * 1024);
  orvtest::WriteFile(app / "large", large);
  orvtest::WriteFile(app / "small", small);
  const auto archive = tmp.path() / "a.zip";
  orvtest::ZipFolder(tmp.path() / "src", "Orvalune Client.app", archive, "-qry");
  const std::vector<unsigned char> bytes = orvtest::ReadBytes(archive);
  Mapping file(archive);
  ASSERT_TRUE(file.ok());

  struct Case {
    const char* what;
    const char* damaged;  // the entry whose data differs in the file
    bool split;           // the slices meet inside the large entry's data
    bool largeOk, smallOk;
  };
  const Case cases[] = {
      {"large entry damaged in the file", "large", false, true, true},
      {"large entry across two slices, damaged in the file", "large", true, true, true},
      {"small entry damaged in the file", "small", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string prefix = "Orvalune Client.app/";
    std::vector<unsigned char> differing = bytes;
    const std::size_t at = orvtest::StoredDataOffset(bytes, prefix + c.damaged);
    for (std::size_t i = 0; i < 64; ++i) differing[at + 100 + i] ^= 0x5A;
    const auto copy = tmp.path() / "file.zip";
    orvtest::WriteFile(copy, std::string(differing.begin(), differing.end()));
    const int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    const std::size_t seam =
        c.split ? orvtest::StoredDataOffset(bytes, prefix + "large") + 1000 : bytes.size();
    std::vector<varnesk::PayloadSlice> slices{{file.bytes(), static_cast<std::int32_t>(seam)}};
    if (seam < bytes.size()) {
      slices.push_back({file.bytes() + seam, static_cast<std::int32_t>(bytes.size() - seam)});
    }
    varnesk::PayloadView view{slices.data(), slices.size()};
    view.fd = fd;
    view.releasable = true;
    std::vector<varnesk::zip::CentralEntry> entries;
    ASSERT_TRUE(varnesk::ReadPayloadCentralDirectory(view, entries));
    varnesk::EntryInflater inflater(view);
    const std::tuple<const char*, const std::string*, bool> reads[] = {{"large", &large, c.largeOk},
                                                                        {"small", &small, c.smallOk}};
    for (const auto& [name, content, ok] : reads) {
      SCOPED_TRACE(name);
      const auto entry = std::find_if(entries.begin(), entries.end(),
                                      [&](const auto& e) { return e.name == prefix + name; });
      ASSERT_NE(entry, entries.end());
      varnesk::EntryJob job;
      job.dataOffset = orvtest::StoredDataOffset(bytes, entry->name);
      job.compressedSize = entry->compressedSize;
      job.uncompressedSize = entry->uncompressedSize;
      job.crc32 = entry->crc32;
      job.method = entry->method;
      job.path = (tmp.path() / (std::string("out-") + name)).string();
      ::unlink(job.path.c_str());
      EXPECT_EQ(job.compressedSize >= varnesk::EntryInflater::kInPlaceFrom, std::string(name) == "large");
      EXPECT_EQ(inflater.Inflate(job).Ok(), ok);
      if (ok) {
        EXPECT_EQ(orvtest::ReadFile(job.path), *content);
      }
    }
    ::close(fd);
    EXPECT_EQ(file.Resident(), 0u) << "the large entry's pages stay mapped";
    EXPECT_EQ(std::memcmp(file.bytes(), bytes.data(), bytes.size()), 0);
  }
}

}  // namespace
