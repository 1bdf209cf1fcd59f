// orvalune-stamp: makes installer bundles for servers (one, or a batch from a CSV file),
// as folders or as downloadable zips, or reads a bundle's name back. `--help` has the
// whole usage.
//
// Bad input: a one-line message on standard error, exit status 2, nothing written.
// A write failure: a message, exit status 1, and everything the run wrote removed.
#include <signal.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <functional>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/AddressCodec.h"
#include "common/Utf8.h"
#include "installer/InstallerMain.h"
#include "installer/Version.h"
#include "installer/mac/ClientInstaller.h"
#include "tools/stamp_batch.h"
#include "tools/stamp_options.h"
#include "tools/stamp_writer.h"
#include "tools/stamp_zip.h"

namespace {

using namespace varnesk::stamp;

constexpr int kWriteFailed = 1;
constexpr int kUsageError = 2;
const char kManifest[] = "manifest.csv";

// The signal that asked the run to stop (Ctrl-C, a closed terminal, kill), or 0. The
// run then starts no further bundle and removes what it wrote, as after a failure.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

std::string StoppedBy() { return std::string("stopped: ") + ::strsignal(g_stopSignal); }

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = [](int signal) { g_stopSignal = signal; };
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

// The launch arguments come from the installer's own rule, for the current user.
class CommandLinePreview : public varnesk::ClientInstaller {
 public:
  std::string Describe(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port, std::uint32_t id,
                       bool sFlag) {
    m_sFlag = sFlag;
    std::string exe;
    std::vector<std::string> args;
    OSGetLaunchInfo(ip, ip2, port, id, exe, args);
    std::string line = "\"" + exe + "\"";
    for (const std::string& arg : args) line += " " + arg;
    return line;
  }
};

// A zip (however a browser renamed it) is read for the bundle folder inside; anything
// else is taken as a bundle name or a path into a bundle.
int Decode(const std::string& nameOrPath) {
  std::string subject = nameOrPath;
  std::error_code ec;
  if (fs::is_regular_file(nameOrPath, ec) && LooksLikeZip(nameOrPath)) {
    std::vector<varnesk::zip::CentralEntry> entries;
    try {
      entries = ReadZipEntries(nameOrPath);
    } catch (const std::runtime_error& e) {
      throw UsageError{e.what()};
    }
    std::string error;
    if (!BundleFolderInZip(entries, subject, error)) throw UsageError{nameOrPath + ": " + error};
    std::cout << "bundle  " << subject << "\n";
  }
  const std::string bundle = varnesk::InstallerBundlePath(subject);
  std::uint32_t ip = 0, ip2 = 0, id = 0;
  std::uint16_t port = 0;
  bool lFlag = false, sFlag = false;
  if (varnesk::GetIpPortFromString(bundle, ip, ip2, port, id, lFlag, sFlag) != varnesk::kStatusOk) {
    std::string upper;
    varnesk::utf8::ToUpper(bundle, upper);
    const std::size_t v = upper.rfind("_V");
    const bool hasVersion = v != std::string::npos && v + 2 < upper.size() &&
                            std::isdigit(static_cast<unsigned char>(upper[v + 2]));
    std::cout << bundle << ": carries no valid address: "
              << (hasVersion ? "a field after the last \"_V\" is cut short or given twice"
                             : "no \"_V\" followed by a version number")
              << "\nThe installer would start the client without address options.\n";
    return 1;
  }
  if ((ip != 0 || ip2 != 0) && port == 0) port = varnesk::ClientInstallerBase::kDefaultPort;
  using varnesk::utf8::Uint32ToIpv4String;
  std::cout << "ip      " << (ip ? Uint32ToIpv4String(ip) : "none") << "\n"
            << "ip2     " << (ip2 ? Uint32ToIpv4String(ip2) : "none") << "\n"
            << "port    " << port << "\n"
            << "id      " << id << "\n"
            << "sflag   " << (sFlag ? "yes (discovery service)" : "no") << "\n"
            << "lflag   " << (lFlag ? "yes" : "no") << "\n"
            << "command " << CommandLinePreview().Describe(ip, ip2, port, id, sFlag) << "\n";
  return 0;
}

// One result of the run: a bundle folder or its zip in the output folder.
struct Job {
  BatchLine source;
  std::string file;   // name in the output folder
  std::string where;  // "FILE:LINE: " for batch lines, for messages
};

std::vector<BatchLine> ServerLines(const Options& o) {
  if (o.mode != Mode::kBatch) return {BatchLine{0, o.server, BundleName(o.server)}};
  if (o.batch == "-") return ReadBatch(std::cin, "stdin");
  std::ifstream in(o.batch, std::ios::binary);
  if (!in) throw UsageError{"--batch " + o.batch + ": cannot be read"};
  return ReadBatch(in, o.batch);
}

// Everything that can be checked before writing: the source, the output folder, zip,
// every line, and every name the run would write.
std::vector<Job> Plan(const Options& o, const BundleSource& source, std::string& zipProgram) {
  std::error_code ec;
  if (!fs::is_directory(o.out, ec)) throw UsageError{"--out " + o.out + ": not a folder"};
  if (!source.TemplateFolder().empty()) {
    const fs::path out = fs::canonical(o.out, ec);
    const fs::path inside = out.lexically_relative(source.TemplateFolder());
    if (!inside.empty() && *inside.begin() != "..") {
      throw UsageError{"--out " + o.out + " lies inside the template " + o.from};
    }
  }
  if (o.zip && (zipProgram = FindZipProgram()).empty()) {
    throw UsageError{"--zip needs Info-ZIP's zip on PATH (Debian: apt-get install zip)"};
  }
  std::vector<Job> jobs;
  for (const BatchLine& line : ServerLines(o)) {
    Job job{line, line.bundle + (o.zip ? ".zip" : ""), ""};
    if (o.mode == Mode::kBatch) {
      job.where = (o.batch == "-" ? std::string("stdin") : o.batch) + ":" + std::to_string(line.line) + ": ";
    }
    const fs::path target = fs::path(o.out) / job.file;
    if (!o.force && fs::exists(fs::symlink_status(target, ec))) {
      throw UsageError{job.where + target.string() + " already exists (give --force to replace it)"};
    }
    jobs.push_back(job);
  }
  const fs::path manifest = fs::path(o.out) / kManifest;
  if (o.mode == Mode::kBatch && !o.force && fs::exists(fs::symlink_status(manifest, ec))) {
    throw UsageError{manifest.string() + " already exists (give --force to replace it)"};
  }
  return jobs;
}

void WriteManifest(OutputTransaction& output, const std::vector<ManifestRow>& rows, bool replace) {
  const fs::path staged = output.NewFolder() / kManifest;
  std::ofstream file(staged, std::ios::binary);
  file << ManifestText(rows);
  file.close();
  if (!file) throw fs::filesystem_error("cannot write", staged, std::make_error_code(std::errc::io_error));
  output.Place(staged, kManifest, replace);
}

// One job's result, made on a worker thread: only the worker of that job writes it.
struct Built {
  fs::path folder;  // the job's own folder in the work folder
  fs::path result;  // the bundle folder or zip, ready to be placed
  std::string sha256;
  std::string error;
};

void Build(const Options& o, const BundleSource& source, const std::string& zipProgram,
           const Job& job, Built& built) {
  const fs::path bundle = built.folder / job.source.bundle;
  source.Write(bundle);
  if (!o.zip) {
    built.result = bundle;
    return;
  }
  built.result = ZipFolder(zipProgram, built.folder, job.source.bundle);
  VerifyBundleZip(built.result, bundle);
  built.sha256 = Sha256OfFile(built.result);
  RemoveTree(bundle);  // only the zip is kept until it is placed
}

// Runs work(0) ... work(count - 1) on as many threads as there are processors; each
// item is taken once. After `stop` turns true, or a stop signal came, no further item
// is started.
void ForEachOnWorkers(std::size_t count, const std::function<void(std::size_t)>& work,
                      const std::atomic<bool>& stop) {
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count && !stop && g_stopSignal == 0; i = next++) work(i);
  };
  const std::size_t threads = std::min<std::size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& thread : pool) thread.join();
}

// Makes every result in the work folder, then places them in input order and the
// manifest last. Returns the message of the first failure, in input order; empty when
// everything is in place.
std::string WriteAll(const Options& o, const BundleSource& source, const std::string& zipProgram,
                     const std::vector<Job>& jobs, OutputTransaction& output) {
  std::vector<Built> built(jobs.size());
  for (Built& b : built) b.folder = output.NewFolder();
  std::atomic<bool> failed{false};
  ForEachOnWorkers(
      jobs.size(),
      [&](std::size_t i) {
        try {
          Build(o, source, zipProgram, jobs[i], built[i]);
        } catch (const std::exception& e) {
          built[i].error = e.what();
          failed = true;
        }
      },
      failed);
  if (g_stopSignal != 0) return StoppedBy();
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (!built[i].error.empty()) return jobs[i].where + built[i].error;
  }
  std::vector<ManifestRow> rows;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (g_stopSignal != 0) break;
    try {
      output.Place(built[i].result, jobs[i].file, o.force);
    } catch (const std::exception& e) {
      return jobs[i].where + e.what();
    }
    rows.push_back({jobs[i].source.line, jobs[i].source.bundle, jobs[i].file, built[i].sha256});
  }
  if (g_stopSignal != 0) return StoppedBy();
  if (o.mode == Mode::kBatch) WriteManifest(output, rows, o.force);
  return "";
}

int Make(const Options& o) {
  const BundleSource source = o.from.empty()
                                  ? BundleSource::Installer(o.installer.empty() ? ORVALUNE_DEFAULT_INSTALLER : o.installer)
                                  : BundleSource::Template(o.from);
  std::string zipProgram;
  const std::vector<Job> jobs = Plan(o, source, zipProgram);
  if (o.zip && !IsMachO(source.Executable())) {
    std::cerr << "orvalune-stamp: warning: " << source.Executable().string()
              << " is not a Mach-O executable: the zip will not run on a Mac\n";
  }
  std::vector<fs::path> written;
  for (const Job& job : jobs) written.push_back(fs::path(o.out) / job.file);
  if (o.mode == Mode::kBatch) written.push_back(fs::path(o.out) / kManifest);
  if (o.dryRun) {
    for (const fs::path& path : written) std::cout << path.string() << "\n";
    return 0;
  }

  CatchStopSignals();
  std::string failure;
  std::vector<fs::path> left;
  try {
    OutputTransaction output(o.out);
    try {
      failure = WriteAll(o, source, zipProgram, jobs, output);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    left = failure.empty() ? output.Commit() : output.Rollback();
  } catch (const std::exception& e) {  // the work folder could not be made
    failure = e.what();
  }
  if (!failure.empty()) {
    std::cerr << "orvalune-stamp: " << failure << "\n";
    for (const fs::path& path : left) {
      std::cerr << "orvalune-stamp: could not remove or put back " << path.string() << "\n";
    }
    if (left.empty()) std::cerr << "orvalune-stamp: nothing of this run was kept\n";
    return g_stopSignal != 0 ? 128 + g_stopSignal : kWriteFailed;
  }
  for (const fs::path& path : left) {
    std::cerr << "orvalune-stamp: warning: could not remove the work folder " << path.string() << "\n";
  }
  for (const fs::path& path : written) std::cout << path.string() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (options.mode) {
      case Mode::kHelp:
        std::cout << kUsage;
        return 0;
      case Mode::kVersion:
        std::cout << "orvalune-stamp " << varnesk::orvalune::ORVALUNE_CLIENT_VERSION << "\n";
        return 0;
      case Mode::kDecode:
        return Decode(options.decode);
      case Mode::kStamp:
      case Mode::kBatch:
        return Make(options);
    }
  } catch (const UsageError& e) {
    std::cerr << "orvalune-stamp: " << e.message << "\n";
  } catch (const std::exception& e) {
    std::cerr << "orvalune-stamp: " << e.what() << "\n";
    return kWriteFailed;
  }
  return kUsageError;
}
