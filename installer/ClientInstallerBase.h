#pragma once
// The installation sequence and the platform operations it runs through.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <Poco/Zip/ZipLocalFileHeader.h>

#include "common/Status.h"
#include "installer/InstallTransaction.h"
#include "installer/Payload.h"

namespace varnesk {

class ClientInstallerBase {
 public:
  using DecompressErrorArgs = std::pair<const Poco::Zip::ZipLocalFileHeader, const std::string>;

  ClientInstallerBase();
  virtual ~ClientInstallerBase();

  // Platform operations, in this order.

  /// Looks for a client installed system-wide; non-zero means one was found, and then
  /// `exePath` and `startDir` say how to start it.
  virtual Status OSFindIncompatibleVersion(std::string& exePath, std::string& startDir) = 0;
  /// Ends running clients and deletes earlier installs: OSEndRunningClients, then
  /// OSRemovePreviousInstalls.
  virtual Status OSDeletePrevInstall() = 0;
  /// Repairs the unpacked bundle (execute bit, symbolic links).
  virtual Status OSPostInstallTasks() = 0;
  /// Absolute path of the folder that receives the client bundle.
  virtual Status OSGetRootInstallDir(std::string& dir) = 0;
  /// Path of the installed client bundle.
  virtual Status OSGetBaseInstallDir(std::string& dir) = 0;
  /// Install folders that are removed before a new install (emptied, then filled).
  virtual Status OSGetPreviousInstallDirs(std::vector<std::string>& dirs) = 0;
  virtual Status OSGetBaseTempDir(std::string& dir) = 0;
  /// The client's executable and its arguments; the arguments are appended to `args`.
  virtual Status OSGetLaunchInfo(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                                 std::uint32_t id, std::string& exePath,
                                 std::vector<std::string>& args) = 0;
  /// Ends this user's running clients and waits for them to go.
  virtual Status OSEndRunningClients() = 0;
  /// Deletes the previous install folders (OSGetPreviousInstallDirs).
  virtual Status OSRemovePreviousInstalls() = 0;

  /// Runs the whole installation once for the installer bundle at `bundlePath`.
  /// On failure `errorText` holds the failing stage's sentence followed by the most
  /// recently recorded error text; on success it is empty. The new bundle replaces the
  /// installed one only once it is complete: any failure before that leaves the
  /// installed bundle and the running client as they were.
  Status DoAllFromUninstallToLaunch(const std::string& bundlePath, std::string& errorText);

  /// Replaces the recorded error text and logs it at error level.
  Status SetErrorString(const std::string& text);
  Status GetErrorString(std::string& text);

  /// Unpacks the embedded client archive into a staging folder in the root install
  /// folder, after checking that it fits there. "(A)": too little space, or entries
  /// failed or were missing; "(B)": the archive could not be read. On failure nothing
  /// of it is left.
  Status InstallClientFilesFromMem();
  /// Bound to the extractor's error event: marks the extraction as failed.
  void OnDecompressError(const void* sender, DecompressErrorArgs& args);

  /// Starts the installed client in its bundle; does not wait for it.
  Status LaunchClient(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port, std::uint32_t id);
  /// Starts the given executable in `startDir` with the client's arguments.
  Status LaunchClient(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port, std::uint32_t id,
                      const std::string& exePath, const std::string& startDir);

  /// "OrvaluneClient" followed by the platform's executable suffix.
  Status GetBaseExeName(std::string& name);
  /// `exists` tells whether `dir` exists; kStatusFail (and a recorded error) when the
  /// file system cannot say.
  Status CheckIfPreviousInstallExists(const std::string& dir, bool& exists);

  /// The port used when the bundle name carries an address but no port.
  static constexpr std::uint16_t kDefaultPort = 53100;

  /// The archive compiled into the program, read from the program's file where the
  /// system allows (the file stays open, close-on-exec, for the rest of the process).
  static PayloadView EmbeddedPayload();
  /// The same archive, always read in place from the program's memory.
  static PayloadView EmbeddedPayloadInMemory();
  /// Whether the embedded archive is the one the build recorded (size and CRC-32).
  static bool EmbeddedPayloadIsIntact();

 protected:
  /// InstallClientFilesFromMem on any payload (tests unpack archives of their own).
  Status InstallClientFilesFrom(const PayloadView& payload);

  /// Clears what a killed run left beside the installed bundle.
  void RecoverInterruptedInstall();
  /// The staged bundle holds the whole archive and an executable client.
  Status VerifyStagedClient();
  /// Replaces the installed bundle with the staged one in one step.
  Status PutStagedClientInPlace();

  /// The new bundle from unpacking until it is in place. While it is staged, the
  /// platform's base install folder is the staged bundle, so that the repair works on
  /// it; once swapped, the previous bundle is where PreviousBundle() says.
  StagedInstall m_staging;
  /// How long the sequence waits for another installation of this user to end.
  std::chrono::milliseconds m_lockWait = InstallLock::kWait;

  bool m_lFlag;
  bool m_sFlag;
  std::string m_errorString;
  bool m_decompressError;

 private:
  Status StartClientProcess(const std::string& exePath, const std::vector<std::string>& args,
                            const std::string& startDir);
};

}  // namespace varnesk
