#include "ChildProcesses.h"

#include <signal.h>
#include <spawn.h>
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
