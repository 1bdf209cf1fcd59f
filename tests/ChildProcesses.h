#pragma once
// Real processes for tests, always ended and reaped when the owner goes away.
#include <sys/types.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvtest {

class ChildProcesses {
 public:
  ChildProcesses() = default;
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  /// Starts `program` with `args` and waits (bounded) until it runs that program.
  pid_t Start(const fs::path& program, const std::vector<std::string>& args = {});
  /// Reaps `pid` after it was killed by someone else (waits at most a few seconds).
  void Reap(pid_t pid);
  /// Kills and reaps every child still running.
  void KillAll();

 private:
  std::vector<pid_t> m_pids;
};

/// Waits, bounded, until `pid` runs the executable `program` (Linux: /proc/PID/exe).
bool WaitUntilRunning(pid_t pid, const fs::path& program);

/// Waits, bounded, until no process runs `program`'s file; false if one still does.
bool WaitUntilGone(pid_t pid);

}  // namespace orvtest
