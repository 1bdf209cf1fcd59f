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
  /// The same, as the user `uid` (group `gid`); this process must be root.
  pid_t StartAs(uid_t uid, gid_t gid, const fs::path& program);
  /// Reaps `pid` after it was killed by someone else (waits at most a few seconds).
  void Reap(pid_t pid);
  /// Kills and reaps every child still running.
  void KillAll();

 private:
  std::vector<pid_t> m_pids;
};

/// A user of its own for the scope (useradd, then userdel), for tests of what
/// belongs to somebody else. `ok()` is false where users cannot be added.
class ScratchUser {
 public:
  ScratchUser();
  ~ScratchUser();
  ScratchUser(const ScratchUser&) = delete;
  ScratchUser& operator=(const ScratchUser&) = delete;
  bool ok() const { return m_ok; }
  uid_t uid() const { return m_uid; }
  gid_t gid() const { return m_gid; }

 private:
  std::string m_name;
  bool m_ok = false;
  uid_t m_uid = 0;
  gid_t m_gid = 0;
};

/// Waits, bounded, until `pid` runs the executable `program` (Linux: /proc/PID/exe).
bool WaitUntilRunning(pid_t pid, const fs::path& program);

/// Waits, bounded, until no process runs `program`'s file; false if one still does.
bool WaitUntilGone(pid_t pid);

}  // namespace orvtest
