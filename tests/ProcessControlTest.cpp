#include <sys/wait.h>

#include <algorithm>
#include <sstream>

#include "ChildProcesses.h"
#include "TestSupport.h"
#include "platform/ProcessLookup.h"
#include "process/ProcessControl.h"

namespace {

using orvtest::fs::path;
using varnesk::kStatusFail;
using varnesk::kStatusOk;

class ProcessControlTest : public ::testing::Test {
 protected:
  // A copy of the helper under `name`, in its own folder (several copies may share a name).
  path Helper(const std::string& name) {
    const path dir = tmp.path() / std::to_string(copies++);
    orvtest::fs::create_directories(dir);
    orvtest::fs::copy_file(ORVALUNE_TEST_SLEEPER, dir / name);
    return dir / name;
  }

  orvtest::TempDir tmp;
  orvtest::ChildProcesses children;
  varnesk::ProcessControl control;
  int copies = 0;
};

TEST_F(ProcessControlTest, FindMatchesTheWholeExecutableName) {
  const pid_t exact = children.Start(Helper("OrvaluneClient"));
  const pid_t longer = children.Start(Helper("OrvaluneClientHelper"));
  const pid_t ending = children.Start(Helper("MyOrvaluneClient"));
  const pid_t v2 = children.Start(Helper("OrvaluneClient_V2"));
  const pid_t blank = children.Start(Helper("Orvalune Client"));
  struct Row {
    const char* name;
    pid_t expected;
  };
  const Row rows[] = {{"OrvaluneClient", exact},     {"OrvaluneClientHelper", longer},
                      {"MyOrvaluneClient", ending},  {"OrvaluneClient_V2", v2},
                      {"Orvalune Client", blank},    {"OrvaluneClient_", 0},
                      {"rvaluneClient", 0},          {"OrvaluneClien", 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::int32_t pid = -5;
    EXPECT_EQ(orvtest::StatusText(control.Find(row.name, pid)),
              orvtest::StatusText(row.expected != 0 ? kStatusOk : kStatusFail));
    EXPECT_EQ(pid, row.expected);
  }
}

TEST_F(ProcessControlTest, FindGivesTheFirstInPsOrder) {
  const pid_t a = children.Start(Helper("OrvaluneClient"));
  const pid_t b = children.Start(Helper("OrvaluneClient"));
  std::istringstream listing(varnesk::my_ssystem("ps -A -o pid="));
  pid_t first = 0;
  for (pid_t p = 0; listing >> p;) {
    if (p == a || p == b) {
      first = p;
      break;
    }
  }
  std::int32_t pid = 0;
  EXPECT_OK(control.Find("OrvaluneClient", pid));
  EXPECT_EQ(pid, first);
}

TEST_F(ProcessControlTest, FindOfAnAbsentNameClearsTheIdentifier) {
  std::int32_t pid = 1234;
  EXPECT_FAILED(control.Find("OrvaluneNoSuchProcess", pid));
  EXPECT_EQ(pid, 0);
}

TEST_F(ProcessControlTest, UnsafeNamesFindNothingAndRunNoShell) {
  const path marker = tmp.path() / "marker";
  const std::string injected = "x' ; touch " + marker.string() + " ; echo '1";
  for (const std::string& name : {injected, std::string("a/b"), std::string("a\nb"),
                                  std::string("a\"b"), std::string("a\\b"), std::string()}) {
    SCOPED_TRACE(name);
    std::int32_t pid = 99;
    EXPECT_FAILED(control.Find(name, pid));
    EXPECT_EQ(pid, 0);
  }
  EXPECT_FALSE(orvtest::fs::exists(marker));
}

TEST_F(ProcessControlTest, KillOfAnEndedProcessFails) {
  const pid_t pid = children.Start(Helper("OrvaluneClient"));
  EXPECT_OK(control.Kill(pid));
  children.Reap(pid);
  EXPECT_FAILED(control.Kill(pid));
  EXPECT_FAILED(control.Terminate(pid));
}

TEST_F(ProcessControlTest, TerminateEndsAProcess) {
  const pid_t pid = children.Start(Helper("OrvaluneClient"));
  EXPECT_OK(control.Terminate(pid));
  children.Reap(pid);
  EXPECT_FAILED(control.Kill(pid));
}

// Counts the calls that Killall makes through the interface, and reaps what it kills
// (our own children would otherwise linger as zombies).
class CountingControl : public varnesk::ProcessControl {
 public:
  explicit CountingControl(orvtest::ChildProcesses& children) : m_children(children) {}
  int finds = 0;
  int kills = 0;
  bool refuseKills = false;
  pid_t refusePid = 0;  // only this one's kill is refused
  bool pretendKills = false;
  ::varnesk::Status Find(const std::string& name, std::int32_t& pid) override {
    ++finds;
    return ProcessControl::Find(name, pid);
  }
  ::varnesk::Status Kill(std::int32_t pid) override {
    ++kills;
    if (refuseKills || pid == refusePid) return varnesk::kStatusFail;
    if (pretendKills) return varnesk::kStatusOk;
    const ::varnesk::Status status = ProcessControl::Kill(pid);
    m_children.Reap(pid);
    return status;
  }

 private:
  orvtest::ChildProcesses& m_children;
};

TEST_F(ProcessControlTest, KillallKillsEveryProcessOfTheName) {
  for (int i = 0; i < 3; ++i) children.Start(Helper("OrvaluneClient"));
  const pid_t other = children.Start(Helper("OrvaluneClientHelper"));
  CountingControl counting(children);
  EXPECT_OK(counting.Killall("OrvaluneClient"));
  EXPECT_EQ(counting.kills, 3);
  EXPECT_EQ(counting.finds, 4);
  std::int32_t pid = 0;
  EXPECT_FAILED(control.Find("OrvaluneClient", pid));
  EXPECT_OK(control.Find("OrvaluneClientHelper", pid));
  EXPECT_EQ(pid, other);
}

TEST_F(ProcessControlTest, KillallOfAnAbsentNameSearchesOnce) {
  CountingControl counting(children);
  EXPECT_OK(counting.Killall("OrvaluneNoSuchProcess"));
  EXPECT_EQ(counting.finds, 1);
  EXPECT_EQ(counting.kills, 0);
}

TEST_F(ProcessControlTest, KillallThatCannotKillEnds) {
  const pid_t survivor = children.Start(Helper("OrvaluneClient"));
  CountingControl refusing(children);
  refusing.refuseKills = true;
  EXPECT_FAILED(refusing.Killall("OrvaluneClient"));
  EXPECT_EQ(refusing.kills, 1);

  CountingControl pretending(children);
  pretending.pretendKills = true;  // Find keeps reporting the same process
  EXPECT_FAILED(pretending.Killall("OrvaluneClient"));
  EXPECT_EQ(pretending.kills, varnesk::ProcessControl::kMaxKillallPasses);
  std::int32_t pid = 0;
  EXPECT_OK(control.Find("OrvaluneClient", pid));
  EXPECT_EQ(pid, survivor);
}

TEST_F(ProcessControlTest, RefusedKillDoesNotSpareTheOthers) {
  const pid_t refused = children.Start(Helper("OrvaluneClient"));
  const pid_t second = children.Start(Helper("OrvaluneClient"));
  const pid_t third = children.Start(Helper("OrvaluneClient"));
  CountingControl counting(children);
  counting.refusePid = refused;
  EXPECT_FAILED(counting.Killall("OrvaluneClient"));
  EXPECT_EQ(counting.kills, 3);
  EXPECT_TRUE(orvtest::WaitUntilGone(second));
  EXPECT_TRUE(orvtest::WaitUntilGone(third));
  std::int32_t pid = 0;
  EXPECT_OK(control.Find("OrvaluneClient", pid));
  EXPECT_EQ(pid, refused);
}

TEST_F(ProcessControlTest, OtherUsersClientsAreNeitherFoundNorKilled) {
  orvtest::ScratchUser other;
  if (!other.ok()) GTEST_SKIP() << "no scratch user can be added here (needs root and useradd)";
  orvtest::fs::permissions(tmp.path(), orvtest::fs::perms(0755));
  const path program = Helper("OrvaluneClient");
  orvtest::fs::permissions(program.parent_path(), orvtest::fs::perms(0755));
  // Theirs starts first, so it stands first in the order of ps.
  const pid_t theirs = children.StartAs(other.uid(), other.gid(), program);
  const pid_t ours = children.Start(Helper("OrvaluneClient"));
  std::int32_t pid = 0;
  EXPECT_OK(control.Find("OrvaluneClient", pid));
  EXPECT_EQ(pid, ours);
  EXPECT_EQ(control.FindAll("OrvaluneClient"), std::vector<std::int32_t>{ours});
  CountingControl counting(children);
  EXPECT_OK(counting.Killall("OrvaluneClient"));
  EXPECT_EQ(counting.kills, 1);
  EXPECT_TRUE(orvtest::WaitUntilGone(ours));
  EXPECT_EQ(::kill(theirs, 0), 0) << "the other user's client still runs";
}

TEST_F(ProcessControlTest, DirectLookupAgreesWithTheShellCommand) {
  const pid_t first = children.Start(Helper("OrvaluneClient"));
  const pid_t second = children.Start(Helper("OrvaluneClient"));
  children.Start(Helper("OrvaluneClientHelper"));
  const pid_t blank = children.Start(Helper("Orvalune Client"));
  for (const std::string name : {"OrvaluneClient", "Orvalune Client", "OrvaluneNoSuchProcess"}) {
    SCOPED_TRACE(name);
    std::vector<std::int32_t> direct;
    if (!platform::ListProcessesNamed(name, direct)) GTEST_SKIP() << "no direct lookup on this platform";
    EXPECT_EQ(direct, varnesk::PidsOf(varnesk::my_ssystem(platform::ProcessLookupCommand(name))));
  }
  std::vector<std::int32_t> pids;
  platform::ListProcessesNamed("OrvaluneClient", pids);
  EXPECT_EQ(pids, (std::vector<std::int32_t>{std::min(first, second), std::max(first, second)}));
  platform::ListProcessesNamed("Orvalune Client", pids);
  EXPECT_EQ(pids, std::vector<std::int32_t>{blank});
}

TEST(ProcessControl, UnsupportedOperationsFailAndWriteNothing) {
  varnesk::ProcessControl control;
  std::int32_t pid = 77;
  std::int32_t code = 55;
  EXPECT_FAILED(control.Create("/bin/true", pid, "", "/", {}, false));
  EXPECT_FAILED(control.Run("/bin/true", pid, "", "/", {}, false, 100));
  EXPECT_FAILED(control.Wait(1, code, 100));
  EXPECT_EQ(pid, 77);
  EXPECT_EQ(code, 55);
  auto status = varnesk::IProcessControl::ProcessStatus::kRunning;
  EXPECT_FAILED(control.Status(1, status));
  EXPECT_EQ(status, varnesk::IProcessControl::ProcessStatus::kRunning);
}

TEST(MySSystem, ReturnsExactlyTheStandardOutput) {
  const std::pair<const char*, std::string> rows[] = {
      {"printf '12\\n'", "12\n"},
      {"true", ""},
      {"echo to-stderr >&2", ""},
      {"printf 'a\\000b'", std::string("a\0b", 3)},
      {"exit 3", ""},
      {"/nonexistent/program", ""},
  };
  for (const auto& [command, expected] : rows) {
    SCOPED_TRACE(command);
    EXPECT_EQ(varnesk::my_ssystem(command), expected);
  }
  EXPECT_EQ(varnesk::my_ssystem("head -c 100000 /dev/zero").size(), 100000u);
}

TEST(MySSystem, FirstPidOfLookupOutput) {
  const std::pair<const char*, std::int32_t> rows[] = {
      {"", 0}, {"42", 42}, {"12\n34\n", 12}, {" 12\n", 0}, {"abc", 0}, {"7x", 7}, {"\n5", 0}};
  for (const auto& [text, pid] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(varnesk::FirstPidOf(text), pid);
  }
}

}  // namespace
