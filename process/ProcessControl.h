#pragma once
#include <string>
#include <vector>

#include "process/IProcessControl.h"

namespace varnesk {

/// Process control through the platform's `ps` and `awk`. Create, Wait, Run and Status
/// are not provided: they return kStatusFail and write nothing.
class ProcessControl : public IProcessControl {
 public:
  ::varnesk::Status Create(const std::string& command, std::int32_t& pid,
                           const std::string& args, const std::string& workDir,
                           const std::map<std::string, std::string>& env,
                           bool detached) override;
  ::varnesk::Status Wait(std::int32_t pid, std::int32_t& exitCode,
                         std::uint32_t timeoutMs) override;
  ::varnesk::Status Run(const std::string& command, std::int32_t& pid, const std::string& args,
                        const std::string& workDir,
                        const std::map<std::string, std::string>& env, bool detached,
                        std::uint32_t timeoutMs) override;
  ::varnesk::Status Kill(std::int32_t pid) override;
  /// Kills the first process that Find reports, then searches again. A refused kill
  /// does not stop it: that process is passed over and the next one is killed. Ends
  /// with kStatusFail when any kill was refused, or when processes are still found
  /// after kMaxKillallPasses kills (a process that does not die must not keep us here).
  ::varnesk::Status Killall(const std::string& name) override;
  ::varnesk::Status Terminate(std::int32_t pid) override;
  ::varnesk::Status Status(std::int32_t pid, ProcessStatus& status) override;
  /// The first of this user's processes of that name; other users' processes are
  /// never reported. A name that cannot be placed in the lookup command safely finds
  /// nothing, and no shell is started for it.
  ::varnesk::Status Find(const std::string& name, std::int32_t& pid) override;

  /// Every process of that name that this user owns, in the order of `ps`.
  std::vector<std::int32_t> FindAll(const std::string& name);

  static constexpr int kMaxKillallPasses = 64;
};

/// Runs `command` through the shell and returns exactly what it wrote to standard
/// output (standard error is not captured). A command that fails to run gives "".
std::string my_ssystem(const std::string& command);

/// First identifier of lookup output: the text up to its first non-digit, as atoi
/// reads it; 0 for empty output or output that does not start with a digit.
std::int32_t FirstPidOf(const std::string& lookupOutput);

/// Every identifier of lookup output, one a line, each read as FirstPidOf reads the
/// first; lines that give 0 are left out.
std::vector<std::int32_t> PidsOf(const std::string& lookupOutput);

}  // namespace varnesk
