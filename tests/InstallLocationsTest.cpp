#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestSupport.h"
#include "installer/mac/ClientInstaller.h"
#include "platform/HomeDirectory.h"

namespace {

using orvtest::fs::path;
using varnesk::kStatusFail;
using varnesk::kStatusOk;
using varnesk::Status;

class TestInstaller : public varnesk::ClientInstaller {
 public:
  using ClientInstaller::DeletePrevInstallWith;
};

// Process control whose answers the test scripts; counts what is asked.
class FakeProcesses : public varnesk::IProcessControl {
 public:
  ::varnesk::Status killallResult = kStatusOk;
  bool alive = false;  // Find keeps reporting a process
  int finds = 0;

  ::varnesk::Status Create(const std::string&, std::int32_t&, const std::string&, const std::string&,
                const std::map<std::string, std::string>&, bool) override { return kStatusFail; }
  ::varnesk::Status Wait(std::int32_t, std::int32_t&, std::uint32_t) override { return kStatusFail; }
  ::varnesk::Status Run(const std::string&, std::int32_t&, const std::string&, const std::string&,
             const std::map<std::string, std::string>&, bool, std::uint32_t) override {
    return kStatusFail;
  }
  ::varnesk::Status Kill(std::int32_t) override { return kStatusOk; }
  ::varnesk::Status Killall(const std::string&) override { return killallResult; }
  ::varnesk::Status Terminate(std::int32_t) override { return kStatusOk; }
  ::varnesk::Status Status(std::int32_t, ProcessStatus&) override { return kStatusFail; }
  ::varnesk::Status Find(const std::string&, std::int32_t& pid) override {
    ++finds;
    pid = alive ? 4242 : 0;
    return alive ? kStatusOk : kStatusFail;
  }
};

class InstallLocationsTest : public ::testing::Test {
 protected:
  InstallLocationsTest() : home(tmp.path() / "home"), desktop(home / "Desktop") {
    orvtest::fs::create_directories(desktop);
  }
  orvtest::TempDir tmp;
  path home;
  path desktop;
  orvtest::ScopedEnv homeEnv{"HOME", home.c_str()};
  orvtest::LogCapture log;
  orvtest::SleepRecorder sleeps;
  TestInstaller installer;
  FakeProcesses processes;
};

TEST_F(InstallLocationsTest, PathsBelowTheDesktop) {
  std::string root, base, exe, temp = "x";
  std::vector<std::string> dirs = {"stale", "entries", "here"};
  std::vector<std::string> names = {"stale"};
  EXPECT_OK(installer.OSGetRootInstallDir(root));
  EXPECT_OK(installer.OSGetBaseInstallDir(base));
  EXPECT_OK(installer.GetExePath(exe));
  EXPECT_OK(installer.OSGetPreviousInstallDirs(dirs));
  EXPECT_OK(installer.GetPreviousInstallExes(names));
  EXPECT_OK(installer.OSGetBaseTempDir(temp));
  EXPECT_EQ(root, desktop.string());
  EXPECT_EQ(base, desktop.string() + "/Orvalune Client.app");
  EXPECT_EQ(exe, desktop.string() + "/Orvalune Client.app/Contents/MacOS/OrvaluneClient");
  EXPECT_EQ(dirs, (std::vector<std::string>{desktop.string() + "/Orvalune Client.app",
                                            desktop.string() + "/OrvaluneClient_V2.app"}));
  EXPECT_EQ(names, (std::vector<std::string>{"OrvaluneClient", "OrvaluneClient_V2"}));
  EXPECT_EQ(temp, "");
  EXPECT_TRUE(log.lines().empty());
  std::string exeName;
  EXPECT_OK(installer.GetBaseExeName(exeName));
  EXPECT_EQ(exeName, "OrvaluneClient");
}

TEST_F(InstallLocationsTest, HomeWithoutDesktopFallsBackToHomeDesktop) {
  orvtest::fs::remove(desktop);
  std::string root;
  EXPECT_OK(installer.OSGetRootInstallDir(root));
  EXPECT_EQ(root, desktop.string());
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not glob home directory"});
  EXPECT_EQ(log.lines()[0].type, platform::LogType::kError);
}

TEST_F(InstallLocationsTest, NoHomeAtAllFailsEverywhereAndDeletesNothing) {
  orvtest::ScopedEnv noHome("HOME", nullptr);
  orvtest::ScopedCwd keepCwd;
  orvtest::fs::current_path(tmp.path());  // a literal "~" would be looked up here
  auto previous = platform::SetPasswdHomeHook([](std::string&) { return false; });
  glob_t probe{};
  const bool globStillFindsAHome = ::glob("~/Desktop", GLOB_TILDE, nullptr, &probe) == 0;
  ::globfree(&probe);
  if (globStillFindsAHome) {
    platform::SetPasswdHomeHook(previous);
    GTEST_SKIP() << "this machine expands ~ through the login name";
  }
  orvtest::WriteFile(tmp.path() / "Orvalune Client.app" / "keep", "x");

  std::string root = "unchanged", base, exe;
  std::vector<std::string> dirs = {"stale"};
  EXPECT_FAILED(installer.OSGetRootInstallDir(root));
  EXPECT_FAILED(installer.OSGetBaseInstallDir(base));
  EXPECT_FAILED(installer.GetExePath(exe));
  EXPECT_FAILED(installer.OSGetPreviousInstallDirs(dirs));
  EXPECT_TRUE(dirs.empty());
  EXPECT_FAILED(installer.DeletePrevInstallWith(processes));
  EXPECT_FAILED(installer.ReapplySymbolicLinks());
  EXPECT_TRUE(orvtest::fs::exists(tmp.path() / "Orvalune Client.app" / "keep"));
  platform::SetPasswdHomeHook(previous);
}

TEST_F(InstallLocationsTest, RemovesNothingWhenNothingIsThere) {
  orvtest::WriteFile(desktop / "Other.app" / "file", "x");
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_EQ(orvtest::ListTree(desktop), (std::vector<std::string>{"Other.app/", "Other.app/file"}));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(sleeps.sleeps().empty());
}

TEST_F(InstallLocationsTest, RemovesBothBundles) {
  orvtest::WriteFile(desktop / "Orvalune Client.app" / "Contents" / "MacOS" / "OrvaluneClient", "x");
  orvtest::WriteFile(desktop / "OrvaluneClient_V2.app" / "Contents" / "Info.plist", "x");
  orvtest::WriteFile(desktop / "notes.txt", "mine");
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_EQ(orvtest::ListTree(desktop), std::vector<std::string>{"notes.txt"});
}

TEST_F(InstallLocationsTest, LinksAreRemovedNotFollowed) {
  const path outside = tmp.path() / "outside";
  orvtest::WriteFile(outside / "precious.txt", "keep me");
  orvtest::fs::create_directories(desktop / "Orvalune Client.app" / "Contents");
  orvtest::fs::create_directory_symlink(outside, desktop / "Orvalune Client.app" / "Contents" / "data");
  orvtest::fs::create_directory_symlink(outside, desktop / "OrvaluneClient_V2.app");
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_TRUE(orvtest::ListTree(desktop).empty());
  // A bundle path that is a link to nothing goes too.
  orvtest::fs::create_directory_symlink(tmp.path() / "gone", desktop / "Orvalune Client.app");
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_TRUE(orvtest::ListTree(desktop).empty());
  EXPECT_EQ(orvtest::ReadFile(outside / "precious.txt"), "keep me");
}

// A tree deeper than PATH_MAX cannot be removed by path, whoever runs the test.
void MakeTooDeepTree(const path& top) {
  orvtest::fs::create_directories(top);
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  const std::string name(200, 'd');
  for (int level = 0; level < 25 && fd >= 0; ++level) {
    ::mkdirat(fd, name.c_str(), 0755);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  if (fd >= 0) ::close(fd);
}

TEST_F(InstallLocationsTest, FailedDeletionStopsAtOnce) {
  MakeTooDeepTree(desktop / "Orvalune Client.app" / "deep");
  orvtest::WriteFile(desktop / "OrvaluneClient_V2.app" / "file", "x");
  EXPECT_FAILED(installer.DeletePrevInstallWith(processes));
  EXPECT_TRUE(orvtest::fs::exists(desktop / "OrvaluneClient_V2.app" / "file"));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not remove previous install directory"});
  orvtest::Shell("rm -rf " + orvtest::Quote((desktop / "Orvalune Client.app").string()));
}

TEST_F(InstallLocationsTest, NoRunningClientMeansNoWait) {
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_EQ(processes.finds, 2);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(sleeps.sleeps().empty());
}

TEST_F(InstallLocationsTest, SurvivingClientIsWaitedForTenSecondsPerName) {
  processes.alive = true;
  orvtest::WriteFile(desktop / "Orvalune Client.app" / "x", "x");
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_EQ(sleeps.sleeps(), std::vector<unsigned>(20, 1));
  EXPECT_EQ(log.Count("Still found process OrvaluneClient"), 11);
  EXPECT_EQ(log.Count("Still found process OrvaluneClient_V2"), 11);
  EXPECT_FALSE(orvtest::fs::exists(desktop / "Orvalune Client.app"));
}

TEST_F(InstallLocationsTest, ClientLeavingDuringTheWaitEndsIt) {
  processes.alive = true;
  sleeps.OnSleep([this] {
    if (sleeps.sleeps().size() == 2) processes.alive = false;  // gone during the third second
  });
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  EXPECT_EQ(sleeps.sleeps().size(), 3u);
  EXPECT_EQ(log.Count("Still found process OrvaluneClient"), 3);
}

TEST_F(InstallLocationsTest, KillallFailureIsLogged) {
  processes.killallResult = kStatusFail;
  EXPECT_OK(installer.DeletePrevInstallWith(processes));
  const std::vector<std::string> expected = {"Could not Killall OrvaluneClient",
                                             "Could not Killall OrvaluneClient_V2"};
  EXPECT_EQ(log.Texts(), expected);
}

TEST_F(InstallLocationsTest, ExistenceCheck) {
  bool exists = true;
  EXPECT_OK(installer.CheckIfPreviousInstallExists((tmp.path() / "absent").string(), exists));
  EXPECT_FALSE(exists);
  EXPECT_OK(installer.CheckIfPreviousInstallExists(desktop.string(), exists));
  EXPECT_TRUE(exists);
}

}  // namespace
