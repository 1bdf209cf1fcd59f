#include "ChildProcesses.h"

#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

extern char** environ;

namespace orvtest {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr int kPolls = 1000;  // five seconds

}  // namespace

bool WaitUntilRunning(pid_t pid, const fs::path& program) {
  const fs::path exe = "/proc/" + std::to_string(pid) + "/exe";
  for (int i = 0; i < kPolls; ++i) {
    std::error_code ec;
    if (fs::read_symlink(exe, ec) == program) return true;
    std::this_thread::sleep_for(kPoll);
  }
  return false;
}

bool WaitUntilGone(pid_t pid) {
  for (int i = 0; i < kPolls; ++i) {
    if (::kill(pid, 0) != 0) return true;
    std::this_thread::sleep_for(kPoll);
  }
  return false;
}

pid_t ChildProcesses::Start(const fs::path& program, const std::vector<std::string>& args) {
  std::vector<std::string> argvText = {program.string()};
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    ADD_FAILURE() << "cannot start " << program;
    return 0;
  }
  m_pids.push_back(pid);
  EXPECT_TRUE(WaitUntilRunning(pid, program)) << program;
  return pid;
}

pid_t ChildProcesses::StartAs(uid_t uid, gid_t gid, const fs::path& program) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0) {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "cannot fork";
    return 0;
  }
  m_pids.push_back(pid);
  EXPECT_TRUE(WaitUntilRunning(pid, program)) << program;
  return pid;
}

ScratchUser::ScratchUser() : m_name("orvtest" + std::to_string(::getpid())) {
  if (::geteuid() != 0) return;
  if (Shell("useradd --system --no-create-home --shell /usr/sbin/nologin " + m_name +
            " >/dev/null 2>&1") != 0) {
    return;
  }
  if (const passwd* entry = ::getpwnam(m_name.c_str())) {
    m_uid = entry->pw_uid;
    m_gid = entry->pw_gid;
    m_ok = true;
  }
}

ScratchUser::~ScratchUser() {
  // -f: a process of the user may still be on its way out.
  if (m_ok) Shell("userdel -f " + m_name + " >/dev/null 2>&1");
}

void ChildProcesses::Reap(pid_t pid) {
  for (int i = 0; i < kPolls; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) break;
    std::this_thread::sleep_for(kPoll);
  }
  m_pids.erase(std::remove(m_pids.begin(), m_pids.end(), pid), m_pids.end());
}

void ChildProcesses::KillAll() {
  for (pid_t pid : m_pids) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  m_pids.clear();
}

ChildProcesses::~ChildProcesses() { KillAll(); }

}  // namespace orvtest
