#include "installer/mac/ClientInstaller.h"

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/Exception.h>
#include <Poco/File.h>

#include "common/Utf8.h"
#include "installer/BundleNames.h"
#include "installer/mac/LinkTable.h"
#include "platform/HomeDirectory.h"
#include "platform/Sleep.h"
#include "platform/SystemLog.h"
#include "process/ProcessControl.h"

namespace varnesk {
namespace {

constexpr const char* kRootInstallPattern = "~/Desktop";
constexpr const char* kEarlierBundleName = "OrvaluneClient_V2.app";
constexpr const char* kClientProcessNames[] = {"OrvaluneClient", "OrvaluneClient_V2"};
constexpr int kClientExitChecks = 10;
constexpr mode_t kExecutableMode = 0755;

}  // namespace

ClientInstaller::ClientInstaller() = default;
ClientInstaller::~ClientInstaller() = default;

Status ClientInstaller::OSFindIncompatibleVersion(std::string& exePath, std::string& startDir) {
  exePath.clear();
  startDir.clear();
  return kStatusOk;
}

Status ClientInstaller::OSGetRootInstallDir(std::string& dir) {
  glob_t found{};
  const int rc = ::glob(kRootInstallPattern, GLOB_TILDE, nullptr, &found);
  if (rc == 0 && found.gl_pathc > 0) {
    dir = found.gl_pathv[0];
    ::globfree(&found);
    return kStatusOk;
  }
  ::globfree(&found);
  ORV_LOG_ERROR("Could not glob home directory");

  // No Desktop folder yet (or no tilde expansion): the extraction creates it below the
  // home directory. Without any home there is no safe place to install or delete.
  std::string home;
  if (!platform::FindHomeDirectory(home)) return kStatusFail;
  dir = home + "/Desktop";
  return kStatusOk;
}

Status ClientInstaller::OSGetBaseInstallDir(std::string& dir) {
  // A new bundle waiting in its staging folder is the one being repaired.
  dir = m_staging.StagedBundle();
  if (!dir.empty()) return kStatusOk;
  if (OSGetRootInstallDir(dir) != kStatusOk) return kStatusFail;
  dir += "/";
  dir += kClientBundleName;
  return kStatusOk;
}

Status ClientInstaller::OSGetPreviousInstallDirs(std::vector<std::string>& dirs) {
  dirs.clear();
  for (const char* bundle : {kClientBundleName, kEarlierBundleName}) {
    std::string root;
    if (OSGetRootInstallDir(root) != kStatusOk) {
      dirs.clear();
      return kStatusFail;
    }
    dirs.push_back(root + "/" + bundle);
  }
  // Once a new bundle has been swapped in, the bundle it replaced is what goes.
  if (!m_staging.PreviousBundle().empty()) dirs.front() = m_staging.PreviousBundle();
  return kStatusOk;
}

Status ClientInstaller::OSGetBaseTempDir(std::string& dir) {
  dir.clear();
  return kStatusOk;
}

Status ClientInstaller::GetExePath(std::string& path) {
  if (OSGetBaseInstallDir(path) != kStatusOk) return kStatusFail;
  std::string exeName;
  GetBaseExeName(exeName);
  path += kExecutableFolder;
  path += exeName;
  return kStatusOk;
}

Status ClientInstaller::GetPreviousInstallExes(std::vector<std::string>& names) {
  names.assign(std::begin(kClientProcessNames), std::end(kClientProcessNames));
  return kStatusOk;
}

Status ClientInstaller::OSDeletePrevInstall() {
  ProcessControl processes;
  return DeletePrevInstallWith(processes);
}

Status ClientInstaller::OSEndRunningClients() {
  ProcessControl processes;
  return EndRunningClientsWith(processes);
}

Status ClientInstaller::DeletePrevInstallWith(IProcessControl& processes) {
  EndRunningClientsWith(processes);
  return OSRemovePreviousInstalls();
}

Status ClientInstaller::EndRunningClientsWith(IProcessControl& processes) {
  std::vector<std::string> names;
  GetPreviousInstallExes(names);
  for (const std::string& name : names) {
    if (processes.Killall(name) != kStatusOk) ORV_LOG_ERROR("Could not Killall %{public}s", name.c_str());
    std::int32_t pid = 0;
    if (processes.Find(name, pid) == kStatusOk) ORV_LOG_ERROR("Still found process %{public}s", name.c_str());
    for (int check = 0; pid != 0 && check < kClientExitChecks; ++check) {
      platform::SleepSeconds(1);
      if (processes.Find(name, pid) == kStatusOk) {
        ORV_LOG_ERROR("Still found process %{public}s", name.c_str());
      }
    }
  }
  return kStatusOk;
}

Status ClientInstaller::OSRemovePreviousInstalls() {
  std::vector<std::string> dirs;
  if (OSGetPreviousInstallDirs(dirs) != kStatusOk) return kStatusFail;
  for (const std::string& dir : dirs) {
    bool exists = false;
    CheckIfPreviousInstallExists(dir, exists);
    if (!exists) continue;
    try {
      // A link inside the bundle, or the bundle path itself being a link, is removed
      // as a link: what it points to is left alone.
      Poco::File bundle(dir);
      struct stat st {};
      if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Poco asks a link whether it is a folder, which fails when its target is gone.
        if (::unlink(dir.c_str()) != 0) throw Poco::FileException(dir);
      } else {
        bundle.remove(true);
      }
    } catch (...) {
      SetErrorString("Could not remove previous install directory");
      return kStatusFail;
    }
  }
  return kStatusOk;
}

Status ClientInstaller::OSPostInstallTasks() {
  std::string exePath;
  GetExePath(exePath);
  const int rc = ::chmod(exePath.c_str(), kExecutableMode);
  if (rc != 0) {
    ORV_LOG_ERROR("Could not chmod %{public}s (error code %{public}d)", exePath.c_str(), rc);
  }
  return ReapplySymbolicLinks();
}

Status ClientInstaller::ReapplySymbolicLinks() {
  struct SymLinkEntry {
    SymLinkEntry(const std::string& dir, const std::string& linkTarget, const std::string& name)
        : directory(dir), target(linkTarget), linkName(name) {}
    std::string directory;
    std::string target;
    std::string linkName;
  };
  std::vector<SymLinkEntry> links;
  links.reserve(kBundleLinkCount);
  for (const LinkRow& row : kBundleLinks) links.emplace_back(row.directory, row.target, row.linkName);

  std::string base;
  if (OSGetBaseInstallDir(base) != kStatusOk) return kStatusFail;
  for (const SymLinkEntry& link : links) {
    std::string dirPath = base + "/" + link.directory;
    int rc = ::chdir(dirPath.c_str());
    if (rc != 0) {
      ORV_LOG_ERROR("Could not chdir %{public}s (error code %{public}d)", dirPath.c_str(), rc);
      return kStatusFail;
    }
    rc = ::unlink(link.linkName.c_str());
    if (rc != 0) {
      ORV_LOG_ERROR("Could not unlink %{public}s (error code %{public}d)", link.linkName.c_str(), rc);
      return kStatusFail;
    }
    rc = ::symlink(link.target.c_str(), link.linkName.c_str());
    if (rc != 0) {
      ORV_LOG_ERROR("Could not symlink %{public}s to %{public}s (error code %{public}d)",
                    link.target.c_str(), link.linkName.c_str(), rc);
      return kStatusFail;
    }
    // chmod follows the new link, so the mode lands on what it finally resolves to.
    dirPath += "/" + link.linkName;
    rc = ::chmod(dirPath.c_str(), kExecutableMode);
    if (rc != 0) {
      ORV_LOG_ERROR("Could not chmod %{public}s (error code %{public}d)", dirPath.c_str(), rc);
      return kStatusFail;
    }
  }
  return kStatusOk;
}

Status ClientInstaller::OSGetLaunchInfo(std::uint32_t ip, std::uint32_t, std::uint16_t port,
                                        std::uint32_t id, std::string& exePath,
                                        std::vector<std::string>& args) {
  GetExePath(exePath);
  if (ip != 0) {
    if (m_sFlag) {
      args.push_back("-odsaddress");
      args.push_back(utf8::Uint32ToIpv4String(ip));
    } else {
      args.push_back("-ip");
      args.push_back(utf8::Uint32ToIpv4String(ip));
      args.push_back("-port");
      args.push_back(utf8::string_cast(port));
    }
  }
  if (id != 0) {
    args.push_back("-identifyid");
    args.push_back(utf8::string_cast(id));
  }
  return kStatusOk;
}

}  // namespace varnesk
