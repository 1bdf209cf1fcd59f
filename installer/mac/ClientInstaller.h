#pragma once
// The installer's platform operations: the client goes into the user's Desktop folder.
#include <string>
#include <vector>

#include "installer/ClientInstallerBase.h"
#include "process/IProcessControl.h"

namespace varnesk {

class ClientInstaller : public ClientInstallerBase {
 public:
  ClientInstaller();
  ~ClientInstaller() override;

  /// Never finds a system-wide client: both strings empty, kStatusOk.
  Status OSFindIncompatibleVersion(std::string& exePath, std::string& startDir) override;
  /// OSEndRunningClients, then OSRemovePreviousInstalls; the status of the latter.
  Status OSDeletePrevInstall() override;
  /// Kills this user's running clients by name and waits up to ten seconds a name
  /// for them to go. Always kStatusOk: what happened is logged.
  Status OSEndRunningClients() override;
  /// Deletes the previous install folders; kStatusFail when a deletion fails or no
  /// home can be found.
  Status OSRemovePreviousInstalls() override;
  /// chmod 0755 of the client executable (failure only logged), then the link repair.
  Status OSPostInstallTasks() override;
  /// The expansion of "~/Desktop"; when it does not exist, the home directory followed
  /// by "/Desktop". kStatusFail only when no home directory can be found at all.
  Status OSGetRootInstallDir(std::string& dir) override;
  /// Root install folder + "/Orvalune Client.app"; while a new bundle is staged, that
  /// staged bundle.
  Status OSGetBaseInstallDir(std::string& dir) override;
  /// The client bundle (once a new one has been swapped in: the bundle it replaced),
  /// then the earlier generation's bundle.
  Status OSGetPreviousInstallDirs(std::vector<std::string>& dirs) override;
  /// Empty: the installer uses no temporary folder.
  Status OSGetBaseTempDir(std::string& dir) override;
  /// The client executable; "-ip A -port P" or "-odsaddress A", then "-identifyid I",
  /// each left out when its value is 0, appended to `args`.
  Status OSGetLaunchInfo(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                         std::uint32_t id, std::string& exePath,
                         std::vector<std::string>& args) override;

  /// Bundle path + "/Contents/MacOS/" + the client executable's name.
  Status GetExePath(std::string& path);
  /// The executable names of running clients to end, in order.
  Status GetPreviousInstallExes(std::vector<std::string>& names);
  /// Rebuilds the bundle's 44 symbolic links; stops at the first failing row.
  /// Leaves the working directory in the last row reached.
  Status ReapplySymbolicLinks();

 protected:
  /// OSDeletePrevInstall and OSEndRunningClients with the given process control.
  Status DeletePrevInstallWith(IProcessControl& processes);
  Status EndRunningClientsWith(IProcessControl& processes);
};

}  // namespace varnesk
