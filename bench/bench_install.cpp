// Installer benchmarks, measured against unzip on the same archive.
//
//   bench_install compare INSTALLER ARCHIVE ROUNDS DIR... [--no-sync] [--after-delete]
//       alternating runs (each round in an order of its own), in each work folder DIR
//       (say one on tmpfs, one on disk), of: the whole installation (less its
//       five-second pause), extraction alone, the entry inflater and its pool over the
//       payload's entries (1 and 2 threads; after the payload check, with the payload
//       read from the program's file or in place), a plain one-thread zlib extractor,
//       `unzip -q` and, where installed, `bsdtar -xf`;
//       medians with min, max and the spread of the middle half, peak RSS, ratios to
//       unzip. Each run starts after sync(2), unless --no-sync. On tmpfs each run's
//       output is deleted right after it; elsewhere each run writes into a folder no
//       earlier run used, and the spent outputs are deleted in batches, each followed by
//       a minute's wait (see Spent below), unless --after-delete: then every run writes
//       into a folder whose previous contents were deleted right before it.
//   bench_install extract DIR [mapped]               (internal) unpack the payload into DIR
//   bench_install inflate DIR THREADS [check] [mapped] [drop] [limit=BYTES]
//       (internal) unpack the payload into DIR as the threaded extraction will: folders
//       first, links as links, files through InflateEntries; `check` runs the payload
//       check first, `mapped` reads the payload in place instead of from the program's
//       file, `drop` reads it in place and makes it releasable (the check and the
//       inflater drop the pages they have read), `limit` sets the whole-buffer limit
//   bench_install minimal ARCHIVE DIR                (internal) plain zlib extractor
//   bench_install verify ROUNDS [mapped|drop]        cost of the payload check
//   bench_install transaction ROUNDS                 cost of each step the transaction adds
//       (lock, recovery scan, space check, verification, swap), timed in place
//   bench_install cost LABEL -- COMMAND...            time and peak RSS of one command
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "installer/EntryInflater.h"
#include "installer/ZipLayout.h"
#include "ClientPayloadInfo.h"
#include "RootedInstaller.h"
#include "platform/SystemLog.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
  double seconds;
  double peakMb;
};

// Runs `argv` with `env` added, waits, and reports wall time and the peak RSS of the
// process and everything it waited for.
Sample Measure(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 1)) {
    std::cerr << "command failed: " << argv[0] << "\n";
  }
  return {seconds, usage.ru_maxrss / 1024.0};
}

// Kills every process whose executable lies below one of `roots`: the clients the
// installer started, also one that is still a fork of the installer (its executable is
// then the installer's copy). Scans until two scans in a row find none.
void KillProcessesBelow(const std::vector<fs::path>& roots) {
  for (int quiet = 0; quiet < 2;) {
    bool found = false;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      std::error_code ec;
      const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
      const auto below = [&](const fs::path& root) { return exe.string().rfind(root.string() + "/", 0) == 0; };
      if (!ec && std::any_of(roots.begin(), roots.end(), below)) {
        ::kill(std::stoi(entry.path().filename().string()), SIGKILL);
        found = true;
      }
    }
    quiet = found ? 0 : quiet + 1;
    ::usleep(20000);
  }
}

// Outputs of finished runs in one work folder, and when to delete them. On a file
// system that avoids reusing recently deleted inodes (ext4 without a journal skips
// those deleted in the last 60 s, checking each candidate inode in turn), creating
// files right after a tree was deleted costs far more than the extraction itself: the
// usual fixture's extraction took 125 ms right after a deletion and 65 ms in a fresh
// folder (unzip: 360 and 255 ms). So outside tmpfs the spent outputs stay until they
// pass a budget, then go all at once, and the next run waits until they are old.
class Spent {
 public:
  // `afterDelete`: every output goes at once, also outside tmpfs.
  Spent(const fs::path& dir, bool afterDelete) {
    struct statfs fsInfo {};
    constexpr long kTmpfsMagic = 0x01021994;
    m_deleteAtOnce =
        afterDelete || (::statfs(dir.c_str(), &fsInfo) == 0 && fsInfo.f_type == kTmpfsMagic);
    struct statvfs space {};
    const std::uintmax_t free =
        ::statvfs(dir.c_str(), &space) == 0 ? std::uintmax_t{space.f_bavail} * space.f_frsize : 0;
    m_budget = std::min<std::uintmax_t>(std::uintmax_t{8} << 30, free / 3);
  }

  // Call with a run's output and the bytes of its files when the run is done.
  void Add(const fs::path& out, std::uintmax_t bytes) {
    if (m_deleteAtOnce) {
      fs::remove_all(out);
      return;
    }
    m_bytes += bytes;
    m_outputs.push_back(out);
  }

  // Call before a run: deletes the spent outputs once they pass the budget, then waits
  // until the inodes they freed may be reused without a search past them.
  void MakeRoom(std::uintmax_t nextRun) {
    if (m_outputs.empty() || m_bytes + nextRun <= m_budget) return;
    Clear();
    ::sync();
    std::fprintf(stderr, "(deleted %.1f GB of spent outputs; waiting 61 s)\n", m_cleared / 1e9);
    ::sleep(61);
  }

  // Deletes the spent outputs; tells whether there were any.
  bool Clear() {
    for (const fs::path& out : m_outputs) fs::remove_all(out);
    const bool any = !m_outputs.empty();
    m_outputs.clear();
    m_cleared = m_bytes;
    m_bytes = 0;
    return any;
  }

 private:
  bool m_deleteAtOnce = false;
  std::uintmax_t m_budget = 0;
  std::uintmax_t m_bytes = 0;
  std::uintmax_t m_cleared = 0;
  std::vector<fs::path> m_outputs;
};

struct Stats {
  double median, min, max, spread, peakMb;  // spread: middle half's width / median
};

Stats Summarise(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
  double peak = 0;
  for (const Sample& s : samples) peak = std::max(peak, s.peakMb);
  const std::size_t n = samples.size();
  const double median = samples[n / 2].seconds;
  const double spread = (samples[(3 * n) / 4].seconds - samples[n / 4].seconds) / median;
  return {median, samples.front().seconds, samples.back().seconds, spread, peak};
}

int Compare(const std::string& installer, const std::string& archive, int rounds,
            const std::vector<std::string>& dirs, const char* self, bool settle, bool afterDelete) {
  const std::string tag = "orvalune-bench-" + std::to_string(::getpid());
  const fs::path bundle = fs::path(dirs.front()) / tag / "OrvaluneClient_V2A7F000001I00000001.app" /
                          "Contents" / "MacOS";
  fs::create_directories(bundle);
  fs::copy_file(installer, bundle / "OrvaluneInstaller");
  fs::permissions(bundle / "OrvaluneInstaller", static_cast<fs::perms>(0755));
  const bool haveBsdtar = std::system("command -v bsdtar >/dev/null 2>&1") == 0;

  struct Command {
    std::string name;
    std::function<std::vector<std::string>(const std::string& desktop)> argv;
  };
  const std::string installerPath = (bundle / "OrvaluneInstaller").string();
  std::vector<Command> commands = {
      {"installer, less the 5 s pause", [&](const std::string&) { return std::vector<std::string>{installerPath}; }},
      {"extraction alone", [&](const std::string& d) { return std::vector<std::string>{self, "extract", d}; }},
      {"inflater, 1 thread", [&](const std::string& d) { return std::vector<std::string>{self, "inflate", d, "1"}; }},
      {"inflater, 2 threads", [&](const std::string& d) { return std::vector<std::string>{self, "inflate", d, "2"}; }},
      {"check + inflater, 2 threads", [&](const std::string& d) {
         return std::vector<std::string>{self, "inflate", d, "2", "check"}; }},
      {"check + inflater, 2 thr., mapped", [&](const std::string& d) {
         return std::vector<std::string>{self, "inflate", d, "2", "check", "mapped"}; }},
      {"plain zlib extractor, 1 thread", [&](const std::string& d) {
         return std::vector<std::string>{self, "minimal", archive, d}; }},
      {"unzip -q", [&](const std::string& d) { return std::vector<std::string>{"unzip", "-q", archive, "-d", d}; }},
  };
  if (haveBsdtar) {
    commands.push_back({"bsdtar -xf", [&](const std::string& d) {
                          return std::vector<std::string>{"bsdtar", "-xf", archive, "-C", d}; }});
  }

  std::map<std::pair<std::size_t, std::size_t>, std::vector<Sample>> results;
  std::vector<Spent> spent;
  for (const std::string& dir : dirs) spent.emplace_back(dir, afterDelete);
  std::uintmax_t unpacked = 0;  // the largest output so far, to keep room for the next
  // Each round runs the commands in an order of its own (the same orders on every run of
  // the benchmark): a command always run right after the same one would always meet
  // the state that one leaves. On this virtual machine the command after the installer
  // starts after five idle seconds, and what it finds then differs (the machine hands
  // memory freed a few seconds ago back to its host, and taking it again costs): the
  // extraction alone, started after five idle seconds, took 32 ms (median of 11)
  // against 28 ms started right after another run, and in a fixed order it always came
  // right after the installer.
  std::vector<std::size_t> order(commands.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::mt19937 shuffler(1);
  for (int round = 0; round < rounds; ++round) {
    std::shuffle(order.begin(), order.end(), shuffler);
    for (std::size_t where = 0; where < dirs.size(); ++where) {
      for (const std::size_t c : order) {
        const fs::path out = fs::path(dirs[where]) / tag /
            (afterDelete ? std::string("out") : "out-" + std::to_string(round) + "-" + std::to_string(c));
        spent[where].MakeRoom(unpacked);
        fs::remove_all(out);
        fs::create_directories(out / "Desktop");
        // Every command starts with nothing left to write back: otherwise each pays for
        // the writeback of the one before it (on disk, up to 49 MB a run).
        if (settle) ::sync();
        const bool isInstaller = c == 0;
        Sample sample = Measure(commands[c].argv((out / "Desktop").string()),
                                isInstaller ? std::vector<std::string>{"HOME=" + out.string()}
                                            : std::vector<std::string>{});
        if (isInstaller) {
          sample.seconds -= 5.0;  // the fixed pause before the launch
          KillProcessesBelow({bundle.parent_path().parent_path(), out});
        }
        results[{where, c}].push_back(sample);
        std::uintmax_t bytes = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
          std::error_code ec;
          if (entry.is_regular_file(ec)) bytes += entry.file_size(ec);
        }
        unpacked = std::max(unpacked, bytes);
        spent[where].Add(out, bytes);
      }
    }
  }
  bool kept = false;
  for (Spent& s : spent) kept = s.Clear() || kept;
  for (const std::string& dir : dirs) fs::remove_all(fs::path(dir) / tag);
  if (kept) {
    // Whatever runs next on this machine should not pay for the inodes just freed.
    ::sync();
    std::fprintf(stderr, "(deleted the spent outputs; waiting 61 s)\n");
    ::sleep(61);
  }

  for (std::size_t where = 0; where < dirs.size(); ++where) {
    std::printf("-- %s: %d rounds, alternating --\n", dirs[where].c_str(), rounds);
    std::size_t unzipRow = 0;
    while (commands[unzipRow].name != "unzip -q") ++unzipRow;
    const Stats unzip = Summarise(results[{where, unzipRow}]);
    std::printf("%-32s %9s %8s %8s %8s %8s %8s\n", "command", "median ms", "min ms", "max ms",
                "spread", "peak MB", "x unzip");
    for (std::size_t c = 0; c < commands.size(); ++c) {
      const Stats s = Summarise(results[{where, c}]);
      std::printf("%-32s %9.1f %8.1f %8.1f %7.0f%% %8.1f %8.2f\n", commands[c].name.c_str(),
                  s.median * 1000, s.min * 1000, s.max * 1000, s.spread * 100, s.peakMb,
                  s.median / unzip.median);
    }
  }
  std::printf("archive %s: %ju bytes; spread: the middle half of the runs, relative to the median\n",
              archive.c_str(), static_cast<std::uintmax_t>(fs::file_size(archive)));
  return 0;
}

// A plain extractor, for comparison: it reads the archive file into memory, then inflates
// each entry with zlib on one thread in 256 KiB steps, checks the CRC and writes the
// file, with no checks beyond that. Not a floor: libdeflate and two threads go lower.
int MinimalExtract(const std::string& archive, const std::string& dir) {
  std::vector<unsigned char> bytes(fs::file_size(archive));
  std::ifstream(archive, std::ios::binary)
      .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  const std::size_t tail = std::min(bytes.size(), varnesk::zip::kMaxEndRecordTail);
  varnesk::zip::EndRecord end;
  std::vector<varnesk::zip::CentralEntry> entries;
  std::string error;
  if (!varnesk::zip::FindEndRecord(bytes.data() + bytes.size() - tail, tail, bytes.size() - tail, end) ||
      !varnesk::zip::ReadCentralDirectory(bytes, end, entries, error)) {
    return 1;
  }
  std::vector<unsigned char> out(256 * 1024);
  for (const auto& e : entries) {
    const std::string path = dir + "/" + e.name;
    if (e.IsDirectory()) {
      ::mkdir(path.c_str(), 0777);
      continue;
    }
    const unsigned char* p = &bytes[e.localHeaderOffset];
    const unsigned char* data = p + 30 + varnesk::zip::Le16(p + 26) + varnesk::zip::Le16(p + 28);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    uLong crc = crc32(0, Z_NULL, 0);
    if (e.method == 0) {
      crc = crc32(crc, data, e.compressedSize);
      if (::write(fd, data, e.compressedSize) < 0) return 1;
    } else {
      z_stream zs{};
      inflateInit2(&zs, -MAX_WBITS);
      zs.next_in = const_cast<unsigned char*>(data);
      zs.avail_in = e.compressedSize;
      int rc = Z_OK;
      while (rc == Z_OK) {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&zs, Z_NO_FLUSH);
        const auto n = out.size() - zs.avail_out;
        crc = crc32(crc, out.data(), static_cast<uInt>(n));
        if (::write(fd, out.data(), n) < 0) return 1;
      }
      inflateEnd(&zs);
    }
    ::close(fd);
    if (crc != e.crc32) return 1;
  }
  return 0;
}

// Unpacks the embedded payload into `dir` as the threaded extraction will: the central
// directory read up front, folders made first, links made as links, every file through
// InflateEntries. Returns 1 when anything fails.
// The embedded payload as the installer reads it (from the program's file), or read in
// place from memory, its pages kept or dropped as they are read.
varnesk::PayloadView BenchPayload(bool mapped, bool drop) {
  if (!mapped && !drop) return varnesk::ClientInstallerBase::EmbeddedPayload();
  varnesk::PayloadView payload = varnesk::ClientInstallerBase::EmbeddedPayloadInMemory();
  payload.releasable = drop;
  return payload;
}

int InflateInto(const std::string& dir, unsigned threads, bool check, bool mapped, bool drop,
                std::size_t limit) {
  namespace zip = varnesk::zip;
  const varnesk::PayloadView payload = BenchPayload(mapped, drop);
  if (check && !varnesk::IsIntactPayload(payload, varnesk::kPayloadSize, varnesk::kPayloadCrc32)) {
    return 1;
  }
  varnesk::PayloadStream stream(payload);
  auto readAt = [&](std::uint64_t pos, std::size_t count) {
    std::vector<unsigned char> bytes(count);
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(pos));
    stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    if (static_cast<std::size_t>(stream.gcount()) != count) throw std::runtime_error("short read");
    return bytes;
  };
  zip::EndRecord end;
  if (!varnesk::FindPayloadEndRecord(payload, end)) return 1;
  // The directory alone, read as an archive whose directory starts at offset 0.
  zip::EndRecord local = end;
  local.centralDirectoryOffset = 0;
  local.offset = end.centralDirectorySize;
  std::vector<zip::CentralEntry> entries;
  std::string error;
  if (!zip::ReadCentralDirectory(readAt(end.centralDirectoryOffset, end.centralDirectorySize), local,
                                 entries, error)) {
    return 1;
  }
  std::vector<varnesk::EntryJob> jobs;
  for (const zip::CentralEntry& e : entries) {
    const std::string path = dir + "/" + e.name;
    if (e.IsDirectory()) {
      if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return 1;
      continue;
    }
    const std::vector<unsigned char> header = readAt(e.localHeaderOffset, 30);
    varnesk::EntryJob job;
    job.dataOffset = e.localHeaderOffset + 30 + zip::Le16(&header[26]) + zip::Le16(&header[28]);
    if (e.IsSymlink()) {
      const std::vector<unsigned char> target = readAt(job.dataOffset, e.compressedSize);
      if (::symlink(std::string(target.begin(), target.end()).c_str(), path.c_str()) != 0) return 1;
      continue;
    }
    job.compressedSize = e.compressedSize;
    job.uncompressedSize = e.uncompressedSize;
    job.crc32 = e.crc32;
    job.method = e.method;
    job.path = path;
    jobs.push_back(std::move(job));
  }
  for (const varnesk::EntryResult& result : varnesk::InflateEntries(payload, jobs, threads, limit)) {
    if (!result.Ok()) {
      std::cerr << result.error << "\n";
      return 1;
    }
  }
  return 0;
}

// The payload check the installer runs before it touches anything: the first call in a
// fresh process (the payload's pages come in from the page cache) and later ones.
int VerifyCost(int rounds, bool mapped, bool drop) {
  std::vector<double> ms;
  const varnesk::PayloadView payload = BenchPayload(mapped, drop);
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!varnesk::IsIntactPayload(payload, varnesk::kPayloadSize, varnesk::kPayloadCrc32)) {
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  const double first = ms.front();
  std::sort(ms.begin() + 1, ms.end());
  std::printf("payload check (%ju bytes%s): first %.2f ms", static_cast<std::uintmax_t>(varnesk::kPayloadSize),
              drop ? ", mapped, pages dropped" : mapped ? ", mapped" : ", read from the file", first);
  if (ms.size() > 1) std::printf(", then median %.2f ms", ms[1 + (ms.size() - 1) / 2]);
  std::printf("\n");
  return 0;
}

}  // namespace

// Times the steps that make the installation a transaction, each on its own, on a
// Desktop that holds a previous install, as a reinstall meets them.
int TransactionCost(int rounds) {
  using Clock = std::chrono::steady_clock;
  const fs::path home = fs::temp_directory_path() / ("orvalune-bench-tx-" + std::to_string(::getpid()));
  const fs::path desktop = home / "Desktop";
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_RUNTIME_DIR");
  const varnesk::PayloadView payload = varnesk::ClientInstallerBase::EmbeddedPayload();
  platform::SetLogSink([](platform::LogType, const std::string& message) { std::cerr << message << "\n"; });
  std::map<std::string, std::vector<double>> ms;
  auto time = [&](const char* step, const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    ms[step].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  };
  // The link repair leaves the working directory inside the bundle it repaired, which
  // the next round deletes: each round starts from where the program started.
  const fs::path startDirectory = fs::current_path();
  for (int round = 0; round < rounds; ++round) {
    fs::current_path(startDirectory);
    fs::remove_all(home);
    fs::create_directories(desktop);
    orvtest::RootedInstaller installer(desktop.string());
    if (installer.InstallInPlace(payload) != varnesk::kStatusOk) {  // the previous install
      std::cerr << "the previous install failed\n";
      return 1;
    }
    varnesk::InstallLock lock;
    time("lock", [&] { lock.Acquire(); });
    time("recovery scan", [&] { varnesk::StagedInstall::Recover(desktop.string(), "Orvalune Client.app"); });
    time("space check", [&] {
      std::vector<varnesk::zip::CentralEntry> entries;
      std::uint64_t needed = 0, available = 0;
      varnesk::ReadPayloadCentralDirectory(payload, entries);
      varnesk::StagedInstall::EnoughSpace(desktop.string(), entries, needed, available);
    });
    if (installer.InstallClientFilesFrom(payload) != varnesk::kStatusOk) {
      std::cerr << "staging failed\n";
      return 1;
    }
    installer.OSPostInstallTasks();
    bool verified = false;
    time("verification", [&] { verified = installer.staging().Verify("Contents/MacOS/OrvaluneClient"); });
    bool swapped = false;
    time("swap", [&] { swapped = installer.staging().SwapIntoPlace(); });
    if (!verified || !swapped) {
      std::cerr << (verified ? "the swap failed\n" : "the verification failed\n");
      return 1;
    }
  }
  fs::current_path(startDirectory);
  fs::remove_all(home);
  double total = 0;
  for (auto& [step, values] : ms) {
    std::sort(values.begin(), values.end());
    const double median = values[values.size() / 2];
    total += median;
    std::printf("%-14s median %.3f ms (min %.3f, max %.3f)\n", step.c_str(), median, values.front(), values.back());
  }
  std::printf("%-14s %.3f ms (sum of the medians, %d rounds)\n", "together", total, rounds);
  return 0;
}

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "extract" && (argc == 3 || argc == 4)) {
    orvtest::RootedInstaller installer(argv[2]);
    const bool mapped = argc == 4 && std::string(argv[3]) == "mapped";
    return installer.InstallInPlace(BenchPayload(mapped, false)) == varnesk::kStatusOk ? 0 : 1;
  }
  if (mode == "inflate" && argc >= 4) {
    const std::vector<std::string> options(argv + 4, argv + argc);
    auto has = [&](const char* o) { return std::find(options.begin(), options.end(), o) != options.end(); };
    std::size_t limit = varnesk::EntryInflater::kWholeBufferLimit;
    for (const std::string& o : options) {
      if (o.rfind("limit=", 0) == 0) limit = std::stoull(o.substr(6));
    }
    return InflateInto(argv[2], static_cast<unsigned>(std::atoi(argv[3])), has("check"), has("mapped"),
                       has("drop"),
                       limit);
  }
  if (mode == "verify" && (argc == 3 || argc == 4)) {
    return VerifyCost(std::atoi(argv[2]), argc == 4 && std::string(argv[3]) == "mapped",
                      argc == 4 && std::string(argv[3]) == "drop");
  }
  if (mode == "transaction" && argc == 3) return TransactionCost(std::atoi(argv[2]));
  if (mode == "minimal" && argc == 4) return MinimalExtract(argv[2], argv[3]);
  if (mode == "compare" && argc >= 6) {
    // "--no-sync" leaves the writeback of one command to the next; "--after-delete"
    // makes every run write where the previous run's output was just deleted.
    std::vector<std::string> dirs(argv + 5, argv + argc);
    // Absolute, so that the clients the installer starts are found by their paths.
    for (std::string& dir : dirs) {
      if (dir.rfind("--", 0) != 0) dir = fs::absolute(dir).string();
    }
    const auto flag = [&](const char* name) {
      const auto it = std::find(dirs.begin(), dirs.end(), name);
      if (it == dirs.end()) return false;
      dirs.erase(it);
      return true;
    };
    const bool settle = !flag("--no-sync");
    const bool afterDelete = flag("--after-delete");
    if (dirs.empty()) return 2;
    return Compare(argv[2], argv[3], std::atoi(argv[4]), dirs, argv[0], settle, afterDelete);
  }
  if (mode == "cost" && argc > 4 && std::string(argv[3]) == "--") {
    const Sample s = Measure(std::vector<std::string>(argv + 4, argv + argc));
    std::printf("%s: %.2f s, peak %.0f MB\n", argv[2], s.seconds, s.peakMb);
    return 0;
  }
  std::cerr << "usage: bench_install compare INSTALLER ARCHIVE ROUNDS DIR... | verify ROUNDS [drop] |"
               " cost LABEL -- COMMAND...\n";
  return 2;
}
