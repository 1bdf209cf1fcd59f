#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <optional>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "installer/EntryInflater.h"

namespace {

using orvtest::fs::path;
using varnesk::EntryInflater;
using varnesk::EntryJob;
using varnesk::EntryResult;

constexpr std::size_t kStreamBuffer = EntryInflater::kStreamBufferSize;

// Text that deflates to about a quarter, different for each seed.
std::string Text(std::size_t size, unsigned seed = 1) {
  std::string text;
  std::uint32_t state = seed * 2654435761u + 1;
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += "line " + std::to_string(text.size()) + " value " + std::to_string(state >> 20) + "\n";
  }
  text.resize(size);
  return text;
}

// Bytes that do not deflate at all.
std::string Noise(std::size_t size) {
  std::string noise(size, '\0');
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (char& c : noise) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = static_cast<char>(state);
  }
  return noise;
}

std::vector<unsigned char> RawDeflate(const std::string& data) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<unsigned char> out(deflateBound(&zs, data.size()));
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// Deflate data that holds `good` in stored blocks and then an invalid block type.
std::vector<unsigned char> CorruptAfter(const std::string& good) {
  std::vector<unsigned char> out;
  for (std::size_t pos = 0; pos < good.size(); pos += 65535) {
    const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(65535, good.size() - pos));
    const unsigned char header[] = {0x00, static_cast<unsigned char>(length),
                                    static_cast<unsigned char>(length >> 8),
                                    static_cast<unsigned char>(~length),
                                    static_cast<unsigned char>(~length >> 8)};
    out.insert(out.end(), std::begin(header), std::end(header));
    out.insert(out.end(), good.begin() + static_cast<std::ptrdiff_t>(pos),
               good.begin() + static_cast<std::ptrdiff_t>(pos + length));
  }
  out.push_back(0x07);  // final block of the reserved type 3
  out.resize(out.size() + 16, 0);
  return out;
}

std::uint32_t Crc(const std::string& data) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Entries' compressed bytes laid out one after another, as in an archive, with filler
// before each so that tests can put an entry across a slice boundary.
class Layout {
 public:
  EntryJob Add(const std::string& data, std::uint16_t method, std::size_t filler = 7) {
    return AddCompressed(method == 8 ? RawDeflate(data)
                                     : std::vector<unsigned char>(data.begin(), data.end()),
                         data, method, filler);
  }
  EntryJob AddCompressed(const std::vector<unsigned char>& compressed, const std::string& data,
                         std::uint16_t method, std::size_t filler = 7) {
    bytes.insert(bytes.end(), filler, 0xEE);
    EntryJob job;
    job.dataOffset = bytes.size();
    job.compressedSize = compressed.size();
    job.uncompressedSize = data.size();
    job.crc32 = Crc(data);
    job.method = method;
    bytes.insert(bytes.end(), compressed.begin(), compressed.end());
    return job;
  }
  std::vector<unsigned char> bytes;
};

bool Exists(const path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

struct Row {
  const char* label;
  std::string data;
  std::uint16_t method;
  std::size_t limit;        // whole-buffer limit of the inflater
  std::size_t filler;       // bytes before the entry
  std::size_t sliceSize;    // 0: one slice
  std::function<void(EntryJob&, std::vector<unsigned char>&)> spoil;  // may change the entry
  const char* error;        // expected text before the path; "" when the entry is fine
  bool removed;
  std::optional<std::string> content;  // what the file holds afterwards (none: absent)
};

void RunRow(const Row& row) {
  SCOPED_TRACE(row.label);
  const orvtest::TempDir tmp;
  std::vector<unsigned char> compressed =
      row.method == 8 ? RawDeflate(row.data) : std::vector<unsigned char>(row.data.begin(), row.data.end());
  Layout layout;
  EntryJob job;
  job.uncompressedSize = row.data.size();
  job.crc32 = Crc(row.data);
  job.method = row.method;
  if (row.spoil) row.spoil(job, compressed);
  const EntryJob placed = layout.AddCompressed(compressed, row.data, row.method, row.filler);
  job.dataOffset = placed.dataOffset;
  if (job.compressedSize == 0) job.compressedSize = compressed.size();
  layout.bytes.resize(layout.bytes.size() + 5, 0xEE);  // something after the entry

  orvtest::FilePayload payload(layout.bytes, row.sliceSize == 0 ? layout.bytes.size() : row.sliceSize);
  // The same entry read in place and from the payload's file.
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "read from the file" : "read in place");
    EntryJob placedJob = job;
    placedJob.path = (tmp.path() / (fromFile ? "from-file" : "in-place")).string();
    EntryInflater inflater(fromFile ? payload.fileView() : payload.view(), row.limit);
    const EntryResult result = inflater.Inflate(placedJob);
    EXPECT_EQ(result.error, std::string(row.error).empty() ? "" : row.error + placedJob.path);
    EXPECT_EQ(result.Ok(), std::string(row.error).empty());
    EXPECT_EQ(result.removed, row.removed);
    if (row.content) {
      ASSERT_TRUE(Exists(placedJob.path));
      const std::string written = orvtest::ReadFile(placedJob.path);
      EXPECT_EQ(written.size(), row.content->size());
      EXPECT_TRUE(written == *row.content);
    } else {
      EXPECT_FALSE(Exists(placedJob.path));
    }
  }
}

constexpr std::size_t kLimit = EntryInflater::kWholeBufferLimit;
constexpr std::size_t kSmallLimit = 64 * 1024;  // puts test-sized entries on the streaming path

TEST(EntryInflater, UnpacksSoundEntriesOnEveryPath) {
  const std::string text = Text(300000);
  const std::string kRun(kStreamBuffer + 100, 'a');
  const std::string kLarge = Noise(5 * 1024 * 1024 + 17);
  const Row rows[] = {
      {"stored", Text(5000), 0, kLimit, 7, 0, nullptr, "", false, Text(5000)},
      {"stored, empty", "", 0, kLimit, 7, 0, nullptr, "", false, std::string()},
      {"deflated, empty", "", 8, kLimit, 7, 0, nullptr, "", false, std::string()},
      {"deflated, whole buffer", text, 8, kLimit, 7, 0, nullptr, "", false, text},
      {"deflated, streaming above the limit", text, 8, kSmallLimit, 7, 0, nullptr, "", false, text},
      {"deflated noise, whole buffer", Noise(200000), 8, kLimit, 7, 0, nullptr, "", false, Noise(200000)},
      {"deflated noise, streaming", Noise(200000), 8, kSmallLimit, 7, 0, nullptr, "", false, Noise(200000)},
      // A buffer may fill in the middle of the last match, after the input is used up:
      // the rest of the output and the stream's end are still to come.
      {"streaming, the last match across a buffer's end", kRun, 8, kSmallLimit, 7, 0, nullptr, "",
       false, kRun},
      {"whole buffer, the last match across 256 KiB", kRun, 8, kLimit, 7, 0, nullptr, "", false, kRun},
      {"streaming, a whole number of buffers of text", Text(4 * kStreamBuffer), 8, kSmallLimit, 7, 0,
       nullptr, "", false, Text(4 * kStreamBuffer)},
      {"streaming, a whole number of buffers of noise", Noise(2 * kStreamBuffer), 8, kSmallLimit, 7, 0,
       nullptr, "", false, Noise(2 * kStreamBuffer)},
      {"streaming, one byte short of a buffer", Text(kStreamBuffer - 1), 8, kSmallLimit, 7, 0, nullptr,
       "", false, Text(kStreamBuffer - 1)},
      // Entries not inflated whole are read 2 MiB at a time.
      {"streaming, read in several steps", kLarge, 8, kSmallLimit, 7, 0, nullptr, "", false, kLarge},
      {"stored, read in several steps", kLarge, 0, kLimit, 7, 0, nullptr, "", false, kLarge},
      {"exactly at the limit, whole buffer", Text(kSmallLimit), 8, kSmallLimit, 7, 0, nullptr, "", false,
       Text(kSmallLimit)},
      // Slices of 4099 bytes: the entry starts 100 bytes before the first boundary.
      {"stored, across slices", text, 0, kLimit, 3999, 4099, nullptr, "", false, text},
      {"deflated whole, across slices", text, 8, kLimit, 3999, 4099, nullptr, "", false, text},
      {"deflated streaming, across slices", text, 8, kSmallLimit, 3999, 4099, nullptr, "", false, text},
      {"deflated whole, across one-byte slices", Text(3000), 8, kLimit, 7, 1, nullptr, "", false,
       Text(3000)},
  };
  for (const Row& row : rows) RunRow(row);
}

TEST(EntryInflater, DamagedEntriesFailAsTheExtractorReportsThem) {
  const std::string text = Text(300000);
  auto badCrc = [](EntryJob& job, std::vector<unsigned char>&) { job.crc32 ^= 1; };
  auto statedLarger = [](EntryJob& job, std::vector<unsigned char>&) { job.uncompressedSize += 10; };
  auto statedSmaller = [](EntryJob& job, std::vector<unsigned char>&) { job.uncompressedSize -= 10; };
  auto cutShort = [](EntryJob&, std::vector<unsigned char>& c) { c.resize(c.size() / 2); };
  const std::string corruptPrefix = Text(5 * 65535);
  auto corrupt = [&](EntryJob&, std::vector<unsigned char>& c) { c = CorruptAfter(corruptPrefix); };
  auto pastTheEnd = [](EntryJob& job, std::vector<unsigned char>& c) {
    job.compressedSize = c.size() + 100;  // the payload ends 5 bytes after the data
  };
  const Row rows[] = {
      {"CRC mismatch, stored", text, 0, kLimit, 7, 0, badCrc, "CRC mismatch. Corrupt file: ", true, {}},
      {"CRC mismatch, whole buffer", text, 8, kLimit, 7, 0, badCrc, "CRC mismatch. Corrupt file: ",
       true, {}},
      {"CRC mismatch, streaming", text, 8, kSmallLimit, 7, 0, badCrc, "CRC mismatch. Corrupt file: ",
       true, {}},
      {"size stated larger, stored", text, 0, kLimit, 7, 0, statedLarger,
       "Filesizes do not match. Corrupt file: ", true, {}},
      {"size stated larger, whole buffer", text, 8, kLimit, 7, 0, statedLarger,
       "Filesizes do not match. Corrupt file: ", true, {}},
      {"size stated smaller, whole buffer", text, 8, kLimit, 7, 0, statedSmaller,
       "Filesizes do not match. Corrupt file: ", true, {}},
      {"size stated smaller, streaming", text, 8, kSmallLimit, 7, 0, statedSmaller,
       "Filesizes do not match. Corrupt file: ", true, {}},
      {"deflate data ends early, whole buffer", text, 8, kLimit, 7, 0, cutShort,
       "CRC mismatch. Corrupt file: ", true, {}},
      {"deflate data ends early, streaming", text, 8, kSmallLimit, 7, 0, cutShort,
       "CRC mismatch. Corrupt file: ", true, {}},
      // What was written before the bad block stays: one full streaming buffer.
      {"corrupt deflate data, whole buffer", corruptPrefix, 8, kLimit, 7, 0, corrupt,
       "Exception: corrupt deflate data in ", false, corruptPrefix.substr(0, kStreamBuffer)},
      {"corrupt deflate data, streaming", corruptPrefix, 8, kSmallLimit, 7, 0, corrupt,
       "Exception: corrupt deflate data in ", false, corruptPrefix.substr(0, kStreamBuffer)},
      {"stored data runs past the payload", Text(1000), 0, kLimit, 7, 0, pastTheEnd,
       "Exception: unexpected end of the archive in ", false,
       Text(1000) + std::string(5, '\xEE')},
  };
  for (const Row& row : rows) RunRow(row);
}

TEST(EntryInflater, DeflatedDataPastThePayloadKeepsWhatItGave) {
  const orvtest::TempDir tmp;
  Layout layout;
  const std::string data = Text(20000);
  EntryJob job = layout.Add(data, 8);
  job.compressedSize += 1000;  // the payload ends right after the data
  job.path = (tmp.path() / "entry").string();
  orvtest::FilePayload payload(layout.bytes, 3000);
  EntryInflater inflater(payload.view());
  const EntryResult result = inflater.Inflate(job);
  EXPECT_EQ(result.error, "Exception: unexpected end of the archive in " + job.path);
  EXPECT_FALSE(result.removed);
  EXPECT_EQ(orvtest::ReadFile(job.path), data);
}

TEST(EntryInflater, CreatesOnlyNewFilesAndNeverThroughALink) {
  const orvtest::TempDir tmp;
  Layout layout;
  EntryJob job = layout.Add(Text(1000), 8);
  orvtest::FilePayload payload(layout.bytes);
  EntryInflater inflater(payload.view());

  orvtest::WriteFile(tmp.path() / "outside", "outside");
  orvtest::WriteFile(tmp.path() / "present", "left by someone");
  orvtest::fs::create_symlink(tmp.path() / "outside", tmp.path() / "link");
  orvtest::fs::create_symlink(tmp.path() / "nowhere", tmp.path() / "dangling");
  for (const char* name : {"present", "link", "dangling", "no-folder/entry"}) {
    SCOPED_TRACE(name);
    job.path = (tmp.path() / name).string();
    const EntryResult result = inflater.Inflate(job);
    EXPECT_EQ(result.error, "Failed to create output stream " + job.path);
    EXPECT_FALSE(result.removed);
  }
  EXPECT_EQ(orvtest::ReadFile(tmp.path() / "present"), "left by someone");
  EXPECT_EQ(orvtest::ReadFile(tmp.path() / "outside"), "outside");
  EXPECT_FALSE(Exists(tmp.path() / "nowhere"));
  EXPECT_FALSE(Exists(tmp.path() / "no-folder"));

  job.method = 12;
  job.path = (tmp.path() / "other-method").string();
  EXPECT_FALSE(inflater.Inflate(job).Ok());
  EXPECT_FALSE(Exists(job.path));
}

TEST(EntryInflater, FileModeIsReadWriteLessTheMask) {
  const orvtest::TempDir tmp;
  Layout layout;
  EntryJob job = layout.Add("x", 0);
  orvtest::FilePayload payload(layout.bytes);
  EntryInflater inflater(payload.view());
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    SCOPED_TRACE(mask);
    job.path = (tmp.path() / ("m" + std::to_string(mask))).string();
    const mode_t old = ::umask(mask);
    const EntryResult result = inflater.Inflate(job);
    ::umask(old);
    EXPECT_TRUE(result.Ok()) << result.error;
    struct stat st {};
    ASSERT_EQ(::stat(job.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
  }
}

// Runs `job` in a child whose files may not grow past `limit` bytes; returns the
// child's result.
EntryResult InflateWithFileSizeLimit(const varnesk::PayloadView& payload, std::size_t wholeLimit,
                                     const EntryJob& job, rlim_t limit) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    const struct rlimit rl = {limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    EntryInflater inflater(payload, wholeLimit);
    const EntryResult result = inflater.Inflate(job);
    const std::string message = (result.removed ? "1" : "0") + result.error;
    const bool sent = ::write(fds[1], message.data(), message.size()) ==
                      static_cast<ssize_t>(message.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, got);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EntryResult result;
  result.removed = !message.empty() && message[0] == '1';
  if (!message.empty()) result.error = message.substr(1);
  return result;
}

TEST(EntryInflater, AFailedWriteKeepsWhatWasWritten) {
  const orvtest::TempDir tmp;
  Layout layout;
  const std::string text = Text(300000);
  const EntryJob stored = layout.Add(text, 0);
  const EntryJob deflated = layout.Add(text, 8);
  orvtest::FilePayload payload(layout.bytes, 4096);
  const struct {
    const char* label;
    EntryJob job;
    std::size_t wholeLimit;
  } rows[] = {
      {"stored", stored, kLimit},
      {"whole buffer", deflated, kLimit},
      {"streaming", deflated, kSmallLimit},
  };
  constexpr rlim_t kFileLimit = 100000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    EntryJob job = row.job;
    job.path = (tmp.path() / row.label).string();
    const EntryResult result = InflateWithFileSizeLimit(payload.view(), row.wholeLimit, job, kFileLimit);
    EXPECT_EQ(result.error, "Exception: cannot write " + job.path);
    EXPECT_FALSE(result.removed);
    EXPECT_EQ(orvtest::ReadFile(job.path), text.substr(0, kFileLimit));
  }
}

TEST(InflateEntries, ManyJobsOnThreadsReportInJobOrder) {
  const orvtest::TempDir tmp;
  Layout layout;
  struct Expected {
    std::string error;  // before the path
    bool removed;
    std::optional<std::string> content;
  };
  std::vector<EntryJob> jobs;
  std::vector<Expected> expected;
  orvtest::WriteFile(tmp.path() / "out" / "taken", "taken");
  for (unsigned i = 0; i < 240; ++i) {
    // Mostly small entries, every tenth up to three streaming buffers; every seventh
    // entry is damaged.
    const std::size_t size = i % 10 == 0 ? (i * 7919u) % (3 * kStreamBuffer) : (i * 7919u) % 20000 + i % 5;
    const std::string data = Text(size, i);
    EntryJob job = layout.Add(data, i % 4 == 0 ? 0 : 8, i % 3);
    job.path = (tmp.path() / "out" / ("f" + std::to_string(i))).string();
    Expected want{"", false, data};
    if (i % 7 == 3) {
      job.crc32 ^= 0x80;
      want = {"CRC mismatch. Corrupt file: ", true, std::nullopt};
    } else if (i % 7 == 5) {
      job.uncompressedSize += 1;
      want = {"Filesizes do not match. Corrupt file: ", true, std::nullopt};
    } else if (i == 100) {
      job.path = (tmp.path() / "out" / "taken").string();
      want = {"Failed to create output stream ", false, std::string("taken")};
    }
    jobs.push_back(job);
    expected.push_back(want);
  }
  for (unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    orvtest::FilePayload payload(layout.bytes, 65536 + 13);  // many entries straddle
    const std::vector<EntryResult> results =
        varnesk::InflateEntries(payload.view(), jobs, threads, kSmallLimit);
    ASSERT_EQ(results.size(), jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      SCOPED_TRACE(jobs[i].path);
      EXPECT_EQ(results[i].error, expected[i].error.empty() ? "" : expected[i].error + jobs[i].path);
      EXPECT_EQ(results[i].removed, expected[i].removed);
      if (expected[i].content) {
        EXPECT_TRUE(orvtest::ReadFile(jobs[i].path) == *expected[i].content);
      } else {
        EXPECT_FALSE(Exists(jobs[i].path));
      }
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      if (i != 100) orvtest::fs::remove(jobs[i].path);
    }
  }
}

TEST(InflateEntries, NoJobsNoFiles) {
  const std::vector<unsigned char> bytes(10, 0);
  orvtest::FilePayload payload(bytes);
  EXPECT_TRUE(varnesk::InflateEntries(payload.view(), {}).empty());
}

}  // namespace
