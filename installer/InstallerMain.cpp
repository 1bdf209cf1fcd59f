#include "installer/InstallerMain.h"

#include "installer/Version.h"
#include "platform/SystemLog.h"

namespace varnesk {

std::string InstallerBundlePath(const std::string& programPath) {
  const std::size_t pos = programPath.rfind(".app");
  if (pos == std::string::npos) return programPath;
  return programPath.substr(0, pos + 4);
}

int RunInstaller(const std::string& programPath, ClientInstallerBase& installer) {
  const std::string bundlePath = InstallerBundlePath(programPath);
  ORV_LOG_INFO("Installing version %{public}d.%{public}d.%{public}d", orvalune::kVersionMajor,
               orvalune::kVersionMinor, orvalune::kVersionBuild);
  Status status = kStatusFail;
  try {
    std::string errorText;
    status = installer.DoAllFromUninstallToLaunch(bundlePath, errorText);
  } catch (...) {
    // The steps catch what they expect; anything else still ends as a failed install
    // rather than an abnormal termination.
    status = kStatusFail;
  }
  if (status != kStatusOk) {
    ORV_LOG_ERROR("Installation Failed");
    return 0;
  }
  ORV_LOG_INFO("Installation Succeeded");
  return 1;
}

}  // namespace varnesk
