#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "TestSupport.h"
#include "installer/ClientInstallerBase.h"
#include "installer/InstallerMain.h"

namespace {

using varnesk::kStatusFail;
using varnesk::kStatusOk;
using varnesk::Status;

// Platform operations scripted by the test; every call is recorded in order.
class ScriptedInstaller : public varnesk::ClientInstallerBase {
 public:
  explicit ScriptedInstaller(const orvtest::TempDir& tmp) : root((tmp.path() / "Desktop").string()) {}

  std::vector<std::string> calls;
  std::string root;
  Status deleteResult = kStatusOk;
  std::string deleteRecords;  // error text the removal step records, if any
  Status systemWide = kStatusOk;
  std::string systemExe = "/bin/true";
  Status rootResult = kStatusOk;
  Status baseResult = kStatusOk;
  std::string launchExe = "/bin/true";
  bool throwInPostInstall = false;
  bool breakStagedBundle = false;  // leave the staged client without its execute bit
  void SetLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }
  std::uint32_t seenIp = 0, seenIp2 = 0, seenId = 0;
  std::uint16_t seenPort = 0;

  bool sFlag() const { return m_sFlag; }
  bool lFlag() const { return m_lFlag; }

  Status OSFindIncompatibleVersion(std::string& exe, std::string& dir) override {
    calls.push_back("FindIncompatible");
    if (systemWide != kStatusOk) {
      exe = systemExe;
      dir = "/";
    }
    return systemWide;
  }
  Status OSDeletePrevInstall() override {
    calls.push_back("DeletePrev");
    return kStatusOk;
  }
  Status OSEndRunningClients() override {
    calls.push_back("EndClients");
    return kStatusOk;
  }
  Status OSRemovePreviousInstalls() override {
    calls.push_back("RemovePrev");
    if (!deleteRecords.empty()) SetErrorString(deleteRecords);
    return deleteResult;
  }
  Status OSPostInstallTasks() override {
    calls.push_back("PostInstall");
    if (throwInPostInstall) throw std::runtime_error("unexpected");
    // The repair that matters to the verification: the staged client's execute bit.
    const std::string exe = m_staging.StagedBundle() + "/Contents/MacOS/OrvaluneClient";
    if (!breakStagedBundle) orvtest::fs::permissions(exe, orvtest::fs::perms(0755));
    return kStatusFail;  // ignored by the sequence
  }
  Status OSGetRootInstallDir(std::string& dir) override {
    calls.push_back("RootInstallDir");
    dir = root;
    return rootResult;
  }
  Status OSGetBaseInstallDir(std::string& dir) override {
    calls.push_back("BaseInstallDir");
    dir = root + "/Orvalune Client.app";
    return baseResult;
  }
  Status OSGetPreviousInstallDirs(std::vector<std::string>& dirs) override {
    dirs.clear();
    return kStatusOk;
  }
  Status OSGetBaseTempDir(std::string& dir) override {
    dir.clear();
    return kStatusOk;
  }
  Status OSGetLaunchInfo(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port, std::uint32_t id,
                         std::string& exePath, std::vector<std::string>& args) override {
    calls.push_back("LaunchInfo");
    seenIp = ip;
    seenIp2 = ip2;
    seenPort = port;
    seenId = id;
    exePath = launchExe;
    args.clear();
    return kStatusOk;
  }
};

class SequenceTest : public ::testing::Test {
 protected:
  // The lock file goes below the test's own HOME.
  orvtest::ScopedEnv noRuntimeDir{"XDG_RUNTIME_DIR", nullptr};
  void TearDown() override {
    // Reap the short-lived children that successful launches started.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }
  orvtest::TempDir tmp;
  orvtest::ScopedEnv home{"HOME", tmp.str().c_str()};
  orvtest::SleepRecorder sleeps;
  orvtest::LogCapture log;
  ScriptedInstaller installer{tmp};
};

TEST(InstallerBundlePath, CutsAfterLastDotApp) {
  const std::pair<const char*, const char*> rows[] = {
      {"/Apps/OrvaluneClient_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller",
       "/Apps/OrvaluneClient_V2A0A010203.app"},
      {"/Apps/Outer.app/Contents/Inner_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller",
       "/Apps/Outer.app/Contents/Inner_V2A0A010203.app"},
      {"/opt/Tools.applets/OrvaluneInstaller", "/opt/Tools.app"},
      {"/usr/local/bin/OrvaluneInstaller", "/usr/local/bin/OrvaluneInstaller"},
      {"/Apps/Setup.APP/Contents/MacOS/x", "/Apps/Setup.APP/Contents/MacOS/x"},
      {"Setup_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller", "Setup_V2A0A010203.app"},
      {"../x.app", "../x.app"},
      {".ap", ".ap"},
      {"", ""},
  };
  for (const auto& [program, bundle] : rows) {
    SCOPED_TRACE(program);
    EXPECT_EQ(varnesk::InstallerBundlePath(program), bundle);
  }
}

TEST_F(SequenceTest, RunsTheStepsInOrderAndPausesFiveSeconds) {
  std::string error = "stale";
  EXPECT_OK(installer.DoAllFromUninstallToLaunch("/x/OrvaluneClient_V2A0A010203I00000007.app", error));
  EXPECT_EQ(error, "");
  // Leftovers are cleared first; the clients are ended only once the new bundle is
  // complete, and the old bundle goes once the new one is in its place.
  const std::vector<std::string> expected = {
      "RootInstallDir", "FindIncompatible", "RootInstallDir", "PostInstall", "EndClients",
      "RemovePrev",     "LaunchInfo",       "BaseInstallDir"};
  EXPECT_EQ(installer.calls, expected);
  EXPECT_EQ(sleeps.sleeps(), std::vector<unsigned>{5});
  EXPECT_EQ(orvtest::ListTree(installer.root).front(), "Orvalune Client.app/");
}

TEST_F(SequenceTest, DefaultPortRule) {
  struct Row {
    const char* name;
    std::uint32_t ip, ip2;
    std::uint16_t port;
    bool sFlag;
  };
  const Row rows[] = {
      {"/a/C_V2A0A010203.app", 0x0A010203, 0, 53100, false},
      {"/a/C_V2B0A010203.app", 0, 0x0A010203, 53100, false},
      {"/a/C_V2P1F90.app", 0, 0, 8080, false},
      {"/a/C_V2S0A010203P1F90.app", 0x0A010203, 0, 8080, true},
      {"/a/C.app", 0, 0, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedInstaller one(tmp);
    std::string error;
    EXPECT_OK(one.DoAllFromUninstallToLaunch(row.name, error));
    EXPECT_EQ(one.seenIp, row.ip);
    EXPECT_EQ(one.seenIp2, row.ip2);
    EXPECT_EQ(one.seenPort, row.port);
    EXPECT_EQ(one.sFlag(), row.sFlag);
  }
}

TEST_F(SequenceTest, SystemWideClientIsStartedWithoutExtractionOrPause) {
  installer.systemWide = 1;
  std::string error;
  EXPECT_OK(installer.DoAllFromUninstallToLaunch("/a/C_V2A0A010203.app", error));
  const std::vector<std::string> expected = {"RootInstallDir", "FindIncompatible", "DeletePrev",
                                             "LaunchInfo"};
  EXPECT_EQ(installer.calls, expected);
  EXPECT_TRUE(sleeps.sleeps().empty());
  EXPECT_FALSE(orvtest::fs::exists(installer.root));
}

TEST_F(SequenceTest, FailureTexts) {
  struct Row {
    const char* label;
    std::function<void(ScriptedInstaller&)> script;
    std::string expected;
    std::vector<unsigned> sleeps;
  };
  const Row rows[] = {
      {"system-wide launch fails",
       [](ScriptedInstaller& i) {
         i.systemWide = 1;
         i.systemExe = "/nonexistent/client";
       },
       "The system-wide client failed to launch.\n\nCould not launch process", {}},
      {"extraction fails with nothing recorded",
       [](ScriptedInstaller& i) { i.rootResult = kStatusFail; }, "The client failed to load.\n\n",
       {}},
      {"staged bundle fails its verification",
       [](ScriptedInstaller& i) { i.breakStagedBundle = true; },
       "The client failed to load.\n\nCould not put Client into place (A)", {}},
      {"another installation keeps the lock",
       [](ScriptedInstaller& i) {
         i.SetLockWait(std::chrono::milliseconds(100));
         static varnesk::InstallLock other;
         ASSERT_OK(other.Acquire());
       },
       "The client failed to load.\n\nAnother installation is still running", {}},
      {"launch of a missing executable",
       [](ScriptedInstaller& i) { i.launchExe = "/nonexistent/OrvaluneClient"; },
       "The client failed to launch.\n\nCould not launch process", {5}},
      {"launch of a file that is not executable",
       [](ScriptedInstaller& i) {
         i.launchExe = i.root + "/plain-file";
         orvtest::WriteFile(i.launchExe, "#!/bin/sh\n");
         orvtest::fs::permissions(i.launchExe, orvtest::fs::perms(0644));
       },
       "The client failed to launch.\n\nCould not launch process", {5}},
      {"no start folder, after a tolerated removal failure",
       [](ScriptedInstaller& i) {
         i.baseResult = kStatusFail;
         i.deleteResult = kStatusFail;
         i.deleteRecords = "Could not remove previous install directory";
       },
       "The client failed to launch.\n\nCould not remove previous install directory", {5}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::SleepRecorder rowSleeps;
    orvtest::TempDir rowTmp;
    orvtest::ScopedEnv rowHome("HOME", rowTmp.str().c_str());
    ScriptedInstaller one(rowTmp);
    row.script(one);
    std::string error;
    EXPECT_FAILED(one.DoAllFromUninstallToLaunch("/a/C_V2A0A010203.app", error));
    EXPECT_EQ(error, row.expected);
    EXPECT_EQ(rowSleeps.sleeps(), row.sleeps);
    // A failure before the swap ends no client and leaves no staging folder behind.
    if (row.sleeps.empty()) {
      EXPECT_EQ(std::count(one.calls.begin(), one.calls.end(), "EndClients"), 0);
      if (orvtest::fs::exists(one.root)) {
        EXPECT_TRUE(orvtest::ListTree(one.root).empty());
      }
    }
  }
}

TEST_F(SequenceTest, MainLogsAndReturnsOneOnSuccess) {
  EXPECT_EQ(varnesk::RunInstaller("/a/C_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller", installer), 1);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].text, "Installing version 3.5.11296");
  EXPECT_EQ(log.lines()[0].type, platform::LogType::kInfo);
  EXPECT_EQ(log.lines()[1].text, "Installation Succeeded");
  EXPECT_EQ(log.lines()[1].type, platform::LogType::kInfo);
}

TEST_F(SequenceTest, MainLogsAndReturnsZeroOnFailure) {
  installer.launchExe = "/nonexistent";
  EXPECT_EQ(varnesk::RunInstaller("/a/C.app/Contents/MacOS/OrvaluneInstaller", installer), 0);
  const std::vector<std::string> expected = {"Installing version 3.5.11296",
                                             "Could not launch process", "Installation Failed"};
  EXPECT_EQ(log.Texts(), expected);
  EXPECT_EQ(log.lines()[1].type, platform::LogType::kError);
  EXPECT_EQ(log.lines()[2].type, platform::LogType::kError);
}

TEST_F(SequenceTest, EscapingExceptionIsAFailedInstall) {
  installer.throwInPostInstall = true;
  EXPECT_EQ(varnesk::RunInstaller("/a/C.app", installer), 0);
  EXPECT_EQ(log.Texts().back(), "Installation Failed");
}

TEST_F(SequenceTest, EmptyProgramPathInstallsWithoutAddress) {
  EXPECT_EQ(varnesk::RunInstaller("", installer), 1);
  EXPECT_EQ(installer.seenIp, 0u);
  EXPECT_EQ(installer.seenPort, 0u);
  EXPECT_EQ(installer.seenId, 0u);
}

TEST_F(SequenceTest, ErrorStringIsReplacedAndLogged) {
  installer.SetErrorString("first");
  installer.SetErrorString("second");
  std::string text;
  EXPECT_OK(installer.GetErrorString(text));
  EXPECT_EQ(text, "second");
  const std::vector<std::string> expected = {"first", "second"};
  EXPECT_EQ(log.Texts(), expected);
  EXPECT_EQ(log.lines()[0].type, platform::LogType::kError);
}

}  // namespace
