// The built installer, run as a user would run it: copied into an installer bundle,
// started with a fresh HOME, judged by what is on disk and which client runs.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "ChildProcesses.h"
#include "TestSupport.h"
#include "installer/mac/LinkTable.h"

namespace {

using orvtest::fs::path;

struct RunningClient {
  pid_t pid = 0;
  path exe;
  std::vector<std::string> args;  // without the program name
  path cwd;
};

// Every process whose executable lies below `root`, with its arguments and folder.
std::vector<RunningClient> ClientsBelow(const path& root) {
  std::vector<RunningClient> found;
  for (const auto& entry : orvtest::fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ec;
    const path exe = orvtest::fs::read_symlink(entry.path() / "exe", ec);
    if (ec || exe.string().rfind(root.string() + "/", 0) != 0) continue;
    RunningClient client;
    client.pid = static_cast<pid_t>(std::stoi(name));
    client.exe = exe;
    client.cwd = orvtest::fs::read_symlink(entry.path() / "cwd", ec);
    const std::string cmdline = orvtest::ReadFile(entry.path() / "cmdline");
    std::istringstream parts(cmdline);
    std::string part;
    std::getline(parts, part, '\0');  // the program itself
    while (std::getline(parts, part, '\0')) client.args.push_back(part);
    found.push_back(client);
  }
  return found;
}

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Clients outlive the installer; as subreaper this process inherits and reaps them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  }

  void TearDown() override {
    for (const RunningClient& client : ClientsBelow(tmp.path())) ::kill(client.pid, SIGKILL);
    while (::waitpid(-1, nullptr, 0) > 0) {
    }
  }

  // Copies the built installer into `bundleRel` (below the test folder) and runs it.
  int Install(const std::string& bundleRel) {
    const path bundle = tmp.path() / "bundles" / bundleRel;
    const path exe = bundle / "Contents" / "MacOS" / "OrvaluneInstaller";
    orvtest::fs::create_directories(exe.parent_path());
    orvtest::fs::copy_file(ORVALUNE_TEST_INSTALLER, exe,
                           orvtest::fs::copy_options::overwrite_existing);
    const path out = tmp.path() / "installer-output";
    const std::string command = "cd / && env HOME=" + orvtest::Quote(home.string()) + " " +
                                orvtest::Quote(exe.string()) + " >" + orvtest::Quote(out.string()) +
                                " 2>&1";
    const int status = orvtest::Shell(command);
    EXPECT_EQ(orvtest::ReadFile(out), "") << "the installer prints nothing";
    return status;
  }

  path Bundle() const { return home / "Desktop" / "Orvalune Client.app"; }

  void ExpectInstalledBundle() {
    struct stat st {};
    ASSERT_EQ(::stat((Bundle() / "Contents/MacOS/OrvaluneClient").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    for (const varnesk::LinkRow& row : varnesk::kBundleLinks) {
      const path link = Bundle() / row.directory / row.linkName;
      EXPECT_EQ(orvtest::fs::read_symlink(link).string(), row.target) << link;
      EXPECT_TRUE(orvtest::fs::exists(link)) << "dangling " << link;
    }
  }

  // The one process running the installed client. The launch returns once the child
  // exists, so the child may still be on its way to exec: wait for it, bounded.
  RunningClient OnlyClient() {
    const path exe = Bundle() / "Contents/MacOS/OrvaluneClient";
    std::vector<RunningClient> clients;
    for (int i = 0; i < 500; ++i) {
      clients.clear();
      for (const RunningClient& c : ClientsBelow(tmp.path())) {
        if (c.exe == exe) clients.push_back(c);
      }
      if (!clients.empty()) break;
      ::usleep(10000);
    }
    EXPECT_EQ(clients.size(), 1u);
    return clients.empty() ? RunningClient{} : clients.front();
  }

  orvtest::TempDir tmp;
  path home = tmp.path() / "home";
};

TEST_F(EndToEndTest, InstallsAndStartsTheClientForEachNameForm) {
  struct Row {
    const char* bundle;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"OrvaluneClient_V2A7F000001PCF6CI00000007.app",
       {"-ip", "127.0.0.1", "-port", "53100", "-identifyid", "7"}},
      {"OrvaluneClient_V2S7F000002I0000012C.app", {"-odsaddress", "127.0.0.2", "-identifyid", "300"}},
      {"OrvaluneClient.app", {}},
      {"orvaluneclient_v2a7f000001p1f90.app", {"-ip", "127.0.0.1", "-port", "8080"}},
      {"Outer_V2A01010101.app/Contents/Resources/OrvaluneClient_V2A7F000003I00000009.app",
       {"-ip", "127.0.0.3", "-port", "53100", "-identifyid", "9"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bundle);
    orvtest::fs::remove_all(home);
    orvtest::fs::create_directories(home);  // no Desktop yet: the installer makes it
    EXPECT_EQ(Install(row.bundle), 1);
    ExpectInstalledBundle();
    const RunningClient client = OnlyClient();
    EXPECT_EQ(client.args, row.args);
    EXPECT_EQ(client.cwd, Bundle());
    TearDown();
  }
}

TEST_F(EndToEndTest, SecondInstallationReplacesTheFirst) {
  orvtest::fs::create_directories(home / "Desktop");
  const std::string name = "OrvaluneClient_V2A7F000001I00000001.app";
  ASSERT_EQ(Install(name), 1);
  const pid_t first = OnlyClient().pid;
  orvtest::WriteFile(Bundle() / "left-by-first-run", "x");
  orvtest::WriteFile(home / "Desktop" / "OrvaluneClient_V2.app" / "old", "x");

  ASSERT_EQ(Install(name), 1);
  const RunningClient second = OnlyClient();
  EXPECT_NE(second.pid, first);
  int waitStatus = 0;  // as subreaper the test inherited the first client: reap it
  EXPECT_EQ(::waitpid(first, &waitStatus, WNOHANG), first) << "the first client was ended";
  EXPECT_TRUE(WIFSIGNALED(waitStatus));
  EXPECT_FALSE(orvtest::fs::exists(Bundle() / "left-by-first-run"));
  EXPECT_FALSE(orvtest::fs::exists(home / "Desktop" / "OrvaluneClient_V2.app"));
  ExpectInstalledBundle();
}

}  // namespace
