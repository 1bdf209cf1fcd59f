// Installer benchmarks, measured against unzip on the same archive.
//
//   bench_install compare INSTALLER ARCHIVE ROUNDS   alternating runs of: the whole
//       installation (less its five-second pause), extraction alone, `unzip -q` and,
//       where installed, `bsdtar -xf`; medians with min and max, peak RSS, ratios.
//   bench_install extract DIR                        (internal) unpack the payload into DIR
//   bench_install minimal ARCHIVE DIR                (internal) the zlib-and-write floor
//   bench_install verify ROUNDS                      cost of the payload check
//   bench_install transaction ROUNDS                 cost of each step the transaction adds
//       (lock, recovery scan, space check, verification, swap), timed in place
//   bench_install cost LABEL -- COMMAND...            time and peak RSS of one command
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <string>
#include <vector>

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

void KillClientsBelow(const fs::path& root) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(entry.path() / "exe", ec);
    if (!ec && exe.string().rfind(root.string(), 0) == 0) {
      ::kill(std::stoi(entry.path().filename().string()), SIGKILL);
    }
  }
}

struct Stats {
  double median, min, max, peakMb;
};

Stats Summarise(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
  double peak = 0;
  for (const Sample& s : samples) peak = std::max(peak, s.peakMb);
  return {samples[samples.size() / 2].seconds, samples.front().seconds, samples.back().seconds,
          peak};
}

int Compare(const std::string& installer, const std::string& archive, int rounds, const char* self) {
  const fs::path work = fs::temp_directory_path() / ("orvalune-bench-" + std::to_string(::getpid()));
  const fs::path bundle = work / "OrvaluneClient_V2A7F000001I00000001.app" / "Contents" / "MacOS";
  fs::create_directories(bundle);
  fs::copy_file(installer, bundle / "OrvaluneInstaller");
  fs::permissions(bundle / "OrvaluneInstaller", static_cast<fs::perms>(0755));
  const bool haveBsdtar = std::system("command -v bsdtar >/dev/null 2>&1") == 0;

  std::map<std::string, std::vector<Sample>> results;
  for (int round = 0; round < rounds; ++round) {
    const fs::path dir = work / "out";
    auto fresh = [&] {
      fs::remove_all(dir);
      fs::create_directories(dir / "Desktop");
    };
    fresh();
    Sample whole = Measure({(bundle / "OrvaluneInstaller").string()}, {"HOME=" + dir.string()});
    whole.seconds -= 5.0;  // the fixed pause before the launch
    results["installer (less pause)"].push_back(whole);
    KillClientsBelow(dir);
    fresh();
    results["extraction alone"].push_back(Measure({self, "extract", (dir / "Desktop").string()}));
    fresh();
    fresh();
    results["minimal zlib extractor"].push_back(
        Measure({self, "minimal", archive, (dir / "Desktop").string()}));
    fresh();
    results["unzip -q"].push_back(Measure({"unzip", "-q", archive, "-d", (dir / "Desktop").string()}));
    if (haveBsdtar) {
      fresh();
      results["bsdtar -xf"].push_back(
          Measure({"bsdtar", "-xf", archive, "-C", (dir / "Desktop").string()}));
    }
  }
  fs::remove_all(work);

  const Stats unzip = Summarise(results["unzip -q"]);
  std::printf("%-24s %9s %9s %9s %9s %9s\n", "command", "median ms", "min ms", "max ms",
              "peak MB", "x unzip");
  for (const auto& [name, samples] : results) {
    const Stats s = Summarise(samples);
    std::printf("%-24s %9.1f %9.1f %9.1f %9.1f %9.2f\n", name.c_str(), s.median * 1000,
                s.min * 1000, s.max * 1000, s.peakMb, s.median / unzip.median);
  }
  std::printf("archive %s: %ju bytes; %d rounds\n", archive.c_str(),
              static_cast<std::uintmax_t>(fs::file_size(archive)), rounds);
  return 0;
}

// The floor: the least an extractor must do (read the archive, inflate with zlib, check
// the CRC, write each file), with no checks beyond that.
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

// The payload check the installer runs before it touches anything: the first call in a
// fresh process (the payload's pages come in from the page cache) and later ones.
int VerifyCost(int rounds) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!varnesk::IsIntactPayload(varnesk::ClientInstallerBase::EmbeddedPayload(),
                                  varnesk::kPayloadSize, varnesk::kPayloadCrc32)) {
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  const double first = ms.front();
  std::sort(ms.begin() + 1, ms.end());
  std::printf("payload check (%ju bytes): first %.1f ms, then median %.1f ms\n",
              static_cast<std::uintmax_t>(varnesk::kPayloadSize), first, ms[1 + ms.size() / 2 - 1]);
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
  for (int round = 0; round < rounds; ++round) {
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
  if (mode == "extract" && argc == 3) {
    orvtest::RootedInstaller installer(argv[2]);
    return installer.InstallInPlace(varnesk::ClientInstallerBase::EmbeddedPayload()) == varnesk::kStatusOk ? 0 : 1;
  }
  if (mode == "verify" && argc == 3) return VerifyCost(std::atoi(argv[2]));
  if (mode == "transaction" && argc == 3) return TransactionCost(std::atoi(argv[2]));
  if (mode == "minimal" && argc == 4) return MinimalExtract(argv[2], argv[3]);
  if (mode == "compare" && argc == 5) return Compare(argv[2], argv[3], std::atoi(argv[4]), argv[0]);
  if (mode == "cost" && argc > 4 && std::string(argv[3]) == "--") {
    const Sample s = Measure(std::vector<std::string>(argv + 4, argv + argc));
    std::printf("%s: %.2f s, peak %.0f MB\n", argv[2], s.seconds, s.peakMb);
    return 0;
  }
  std::cerr << "usage: bench_install compare INSTALLER ARCHIVE ROUNDS | cost LABEL -- COMMAND...\n";
  return 2;
}
