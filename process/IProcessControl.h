#pragma once
// Finding processes by executable name and ending them.
#include <cstdint>
#include <map>
#include <string>

#include "common/Status.h"

namespace varnesk {

class IProcessControl {
 public:
  enum class ProcessStatus { kUnknown, kRunning, kExited };

  /// Starts `command` with `args` in `workDir` and environment `env`; writes the new
  /// identifier to `pid`. `detached` leaves the child unwaited.
  virtual ::varnesk::Status Create(const std::string& command, std::int32_t& pid,
                                   const std::string& args, const std::string& workDir,
                                   const std::map<std::string, std::string>& env,
                                   bool detached) = 0;
  /// Waits up to `timeoutMs` for `pid` to end; writes its exit code.
  virtual ::varnesk::Status Wait(std::int32_t pid, std::int32_t& exitCode,
                                 std::uint32_t timeoutMs) = 0;
  /// Create, then Wait up to `timeoutMs`.
  virtual ::varnesk::Status Run(const std::string& command, std::int32_t& pid,
                                const std::string& args, const std::string& workDir,
                                const std::map<std::string, std::string>& env, bool detached,
                                std::uint32_t timeoutMs) = 0;
  /// Sends SIGKILL to `pid` (must be positive); kStatusOk when the system accepted it.
  virtual ::varnesk::Status Kill(std::int32_t pid) = 0;
  /// Kills every process named exactly `name`; kStatusOk once none is left.
  virtual ::varnesk::Status Killall(const std::string& name) = 0;
  /// Sends SIGTERM to `pid` (must be positive); kStatusOk when the system accepted it.
  virtual ::varnesk::Status Terminate(std::int32_t pid) = 0;
  /// Reports the state of `pid`.
  virtual ::varnesk::Status Status(std::int32_t pid, ProcessStatus& status) = 0;
  /// Writes the identifier of the first process named exactly `name` to `pid`;
  /// kStatusOk when one was found, otherwise kStatusFail with `pid` set to 0.
  virtual ::varnesk::Status Find(const std::string& name, std::int32_t& pid) = 0;
};

}  // namespace varnesk
