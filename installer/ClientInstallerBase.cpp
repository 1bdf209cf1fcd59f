#include "installer/ClientInstallerBase.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <set>

#include <Poco/Delegate.h>
#include <Poco/File.h>
#include <Poco/Process.h>
#include <Poco/Zip/ZipArchive.h>

#include "common/AddressCodec.h"
#include "installer/BundleNames.h"
#include "installer/ClientExtractor.h"
#include "installer/ZipLayout.h"
#include "platform/Sleep.h"
#include "platform/SystemLog.h"

namespace varnesk {
namespace {

constexpr unsigned kPauseBeforeLaunchSeconds = 5;
constexpr int kRootDirAttempts = 10;
constexpr const char* kExecutableSuffix = "";

constexpr const char* kSystemClientLaunchFailed = "The system-wide client failed to launch.\n\n";
constexpr const char* kLoadFailed = "The client failed to load.\n\n";
constexpr const char* kLaunchFailed = "The client failed to launch.\n\n";
constexpr const char* kEntriesFailed = "Could not put Client into place (A)";
constexpr const char* kArchiveUnreadable = "Could not put Client into place (B)";
constexpr const char* kLaunchProcessFailed = "Could not launch process";
constexpr const char* kAnotherInstallation = "Another installation is still running";

// Creates the folder if needed, in up to ten one-second-spaced attempts. The outcome
// is not reported: a folder that never appears makes the extractor fail.
void WaitForDirectory(const std::string& dir) {
  for (int attempt = 0; attempt < kRootDirAttempts; ++attempt) {
    try {
      Poco::File folder(dir);
      if (!folder.exists()) folder.createDirectories();
      if (folder.exists()) return;
    } catch (...) {
      // A failed attempt; the next one may succeed once the folder can be made.
    }
    platform::SleepSeconds(1);
  }
}

// What the extractor got out of an archive, judged against the archive's own end record.
enum class Completeness { kComplete, kIncomplete, kUnreadable };

// The extractor stops quietly at the end of a cut-off archive, and finds nothing at all
// in bytes that are no archive. An archive is complete only when as many entries were
// read as its end record announces.
Completeness CheckCompleteness(const Poco::Zip::ZipArchive& archive, const PayloadView& payload) {
  const auto read = std::distance(archive.headerBegin(), archive.headerEnd());
  zip::EndRecord end;
  if (!FindPayloadEndRecord(payload, end)) {
    return read == 0 ? Completeness::kUnreadable : Completeness::kIncomplete;
  }
  return read == static_cast<std::ptrdiff_t>(end.totalEntries) ? Completeness::kComplete
                                                                : Completeness::kIncomplete;
}

// Poco reports a failed exec only inside the child, after the launch has returned, so
// a missing or non-executable program, or a start folder that is not there, would pass
// for a started client. Refuse those up front.
bool CanStart(const std::string& exePath, const std::string& startDir) {
  Poco::File exe(exePath);
  if (!exe.exists() || !exe.isFile() || !exe.canExecute()) return false;
  return startDir.empty() || Poco::File(startDir).isDirectory();
}

}  // namespace

ClientInstallerBase::ClientInstallerBase()
    : m_lFlag(false), m_sFlag(false), m_decompressError(false) {}

ClientInstallerBase::~ClientInstallerBase() = default;

Status ClientInstallerBase::SetErrorString(const std::string& text) {
  m_errorString = text;
  ORV_LOG_ERROR("%{public}s", m_errorString.c_str());
  return kStatusOk;
}

Status ClientInstallerBase::GetErrorString(std::string& text) {
  text = m_errorString;
  return kStatusOk;
}

Status ClientInstallerBase::DoAllFromUninstallToLaunch(const std::string& bundlePath,
                                                        std::string& errorText) {
  errorText.clear();
  std::uint32_t ip = 0;
  std::uint32_t ip2 = 0;
  std::uint16_t port = 0;
  std::uint32_t id = 0;
  GetIpPortFromString(bundlePath, ip, ip2, port, id, m_lFlag, m_sFlag);
  if ((ip != 0 || ip2 != 0) && port == 0) port = kDefaultPort;

  // One installer at a time for this user, until this process ends.
  InstallLock lock;
  if (lock.Acquire(m_lockWait) != kStatusOk) {
    SetErrorString(kAnotherInstallation);
    errorText = kLoadFailed + m_errorString;
    return kStatusFail;
  }
  RecoverInterruptedInstall();

  // A damaged installer must find out before it ends the running client and deletes
  // the only working copy.
  if (!EmbeddedPayloadIsIntact()) {
    SetErrorString(kArchiveUnreadable);
    errorText = kLoadFailed + m_errorString;
    return kStatusFail;
  }

  std::string systemExe;
  std::string systemStartDir;
  if (OSFindIncompatibleVersion(systemExe, systemStartDir) != kStatusOk) {
    OSDeletePrevInstall();
    if (LaunchClient(ip, ip2, port, id, systemExe, systemStartDir) != kStatusOk) {
      errorText = kSystemClientLaunchFailed + m_errorString;
      return kStatusFail;
    }
    return kStatusOk;
  }

  // The new bundle is unpacked, repaired and verified beside the installed one; the
  // running client and the installed bundle are left alone until it is complete.
  if (InstallClientFilesFromMem() != kStatusOk) {
    errorText = kLoadFailed + m_errorString;
    return kStatusFail;
  }

  OSPostInstallTasks();

  if (VerifyStagedClient() != kStatusOk) {
    errorText = kLoadFailed + m_errorString;
    return kStatusFail;
  }

  OSEndRunningClients();

  if (PutStagedClientInPlace() != kStatusOk) {
    errorText = kLoadFailed + m_errorString;
    return kStatusFail;
  }

  OSRemovePreviousInstalls();
  m_staging.Discard();

  platform::SleepSeconds(kPauseBeforeLaunchSeconds);

  if (LaunchClient(ip, ip2, port, id) != kStatusOk) {
    errorText = kLaunchFailed + m_errorString;
    return kStatusFail;
  }
  return kStatusOk;
}

Status ClientInstallerBase::InstallClientFilesFromMem() {
  return InstallClientFilesFrom(EmbeddedPayload());
}

Status ClientInstallerBase::InstallClientFilesFrom(const PayloadView& payload) {
  m_staging.Discard();
  std::string root;
  if (OSGetRootInstallDir(root) != kStatusOk) return kStatusFail;

  WaitForDirectory(root);

  try {
    if (MayHoldZip64EndRecord(payload)) {
      SetErrorString(kArchiveUnreadable);
      return kStatusFail;
    }
    // The central directory names the link entries and gives the size of it all. An
    // archive without a readable one still goes through the extractor, which tells a
    // cut-off archive "(A)" from bytes that are none "(B)".
    std::vector<zip::CentralEntry> entries;
    ReadPayloadCentralDirectory(payload, entries);
    std::uint64_t needed = 0;
    std::uint64_t available = 0;
    if (!StagedInstall::EnoughSpace(root, entries, needed, available)) {
      ORV_LOG_ERROR("Not enough free space for Client: %{public}llu bytes needed, %{public}llu available",
                    static_cast<unsigned long long>(needed), static_cast<unsigned long long>(available));
      SetErrorString(kEntriesFailed);
      return kStatusFail;
    }
    if (!m_staging.Begin(root, kClientBundleName, payload, entries)) {
      SetErrorString(kArchiveUnreadable);
      return kStatusFail;
    }
    std::set<std::string> links;
    for (const zip::CentralEntry& entry : entries) {
      if (entry.IsSymlink()) links.insert(entry.name);
    }
    // The archive is read in place from the program's own data, never copied.
    PayloadStream stream(payload);
    ClientExtractor extractor(stream, payload, m_staging.Folder(), std::string(kClientBundleName) + "/",
                              std::move(links));
    m_decompressError = false;
    auto onError = Poco::Delegate<ClientInstallerBase, DecompressErrorArgs>(
        this, &ClientInstallerBase::OnDecompressError);
    extractor.EError += onError;
    const Poco::Zip::ZipArchive archive = extractor.ExtractAll();
    extractor.EError -= onError;
    const Completeness completeness = CheckCompleteness(archive, payload);
    if (completeness == Completeness::kUnreadable) {
      m_staging.Discard();
      SetErrorString(kArchiveUnreadable);
      return kStatusFail;
    }
    if (completeness == Completeness::kIncomplete) m_decompressError = true;

    if (m_decompressError) {
      m_staging.Discard();
      SetErrorString(kEntriesFailed);
      return kStatusFail;
    }
    return kStatusOk;
  } catch (...) {
    m_staging.Discard();
    SetErrorString(kArchiveUnreadable);
    return kStatusFail;
  }
}

void ClientInstallerBase::RecoverInterruptedInstall() {
  std::string root;
  if (OSGetRootInstallDir(root) == kStatusOk) StagedInstall::Recover(root, kClientBundleName);
}

Status ClientInstallerBase::VerifyStagedClient() {
  std::string exeName;
  GetBaseExeName(exeName);
  if (m_staging.Verify(std::string(kExecutableFolder).substr(1) + exeName)) return kStatusOk;
  m_staging.Discard();
  SetErrorString(kEntriesFailed);
  return kStatusFail;
}

Status ClientInstallerBase::PutStagedClientInPlace() {
  if (m_staging.SwapIntoPlace()) return kStatusOk;
  m_staging.Discard();
  SetErrorString(kEntriesFailed);
  return kStatusFail;
}

void ClientInstallerBase::OnDecompressError(const void*, DecompressErrorArgs&) {
  m_decompressError = true;
}

Status ClientInstallerBase::LaunchClient(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                                         std::uint32_t id) {
  std::string exePath;
  std::vector<std::string> args;
  OSGetLaunchInfo(ip, ip2, port, id, exePath, args);
  std::string startDir;
  if (OSGetBaseInstallDir(startDir) != kStatusOk) return kStatusFail;
  return StartClientProcess(exePath, args, startDir);
}

Status ClientInstallerBase::LaunchClient(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                                         std::uint32_t id, const std::string& exePath,
                                         const std::string& startDir) {
  std::string ignoredExe;
  std::vector<std::string> args;
  OSGetLaunchInfo(ip, ip2, port, id, ignoredExe, args);
  return StartClientProcess(exePath, args, startDir);
}

Status ClientInstallerBase::StartClientProcess(const std::string& exePath,
                                               const std::vector<std::string>& args,
                                               const std::string& startDir) {
  try {
    if (CanStart(exePath, startDir)) {
      // The handle is let go at once: the client is neither waited for nor watched.
      Poco::Process::launch(exePath, args, startDir);
      return kStatusOk;
    }
  } catch (...) {
    // Reported below, like a program that cannot be started.
  }
  SetErrorString(kLaunchProcessFailed);
  return kStatusFail;
}

Status ClientInstallerBase::GetBaseExeName(std::string& name) {
  name = kClientExeName;
  name += kExecutableSuffix;
  return kStatusOk;
}

Status ClientInstallerBase::CheckIfPreviousInstallExists(const std::string& dir, bool& exists) {
  exists = false;
  try {
    // A link whose target is gone still occupies the path; it counts as there.
    struct stat st {};
    exists = Poco::File(dir).exists() || (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    return kStatusOk;
  } catch (...) {
    SetErrorString("Could not check if previous install directory exists");
    return kStatusFail;
  }
}

}  // namespace varnesk
