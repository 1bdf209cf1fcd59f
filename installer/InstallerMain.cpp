#include "installer/InstallerMain.h"

#include "common/AddressCodec.h"
#include "installer/Version.h"
#include "platform/SystemLog.h"

namespace varnesk {

std::string InstallerBundlePath(const std::string& programPath) {
  const std::size_t pos = programPath.rfind(".app");
  if (pos == std::string::npos) return programPath;
  return programPath.substr(0, pos + 4);
}

namespace {

bool CarriesAddress(const std::string& bundlePath) {
  std::uint32_t ip = 0, ip2 = 0, id = 0;
  std::uint16_t port = 0;
  bool lFlag = false, sFlag = false;
  GetIpPortFromString(bundlePath, ip, ip2, port, id, lFlag, sFlag);
  return ip != 0 || ip2 != 0 || port != 0 || id != 0;
}

}  // namespace

std::string FindInstallerBundlePath(const std::string& programPath,
                                    const ExecutablePathSource& selfPath) {
  const std::string fromProgram = InstallerBundlePath(programPath);
  if (CarriesAddress(fromProgram)) return fromProgram;
  std::string exe;
  if (!selfPath || !selfPath(exe)) return fromProgram;
  const std::string fromExecutable = InstallerBundlePath(exe);
  return CarriesAddress(fromExecutable) ? fromExecutable : fromProgram;
}

int RunInstaller(const std::string& programPath, ClientInstallerBase& installer,
                 const ExecutablePathSource& selfPath) {
  const std::string bundlePath = FindInstallerBundlePath(programPath, selfPath);
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
