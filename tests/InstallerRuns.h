#pragma once
// The built installer, run as a user would run it: copied into an installer bundle,
// started with a fresh HOME, judged by what is on disk and which client runs.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "installer/mac/LinkTable.h"

namespace orvtest {

using path = fs::path;

struct RunningClient {
  pid_t pid = 0;
  path exe;
  std::string program;  // argv[0]; empty while the process is still inside exec
  std::vector<std::string> args;  // without the program name
  path cwd;
};

// Every process whose executable lies below `root`, with its arguments and folder.
inline std::vector<RunningClient> ClientsBelow(const path& root) {
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
    std::getline(parts, client.program, '\0');
    while (std::getline(parts, part, '\0')) client.args.push_back(part);
    found.push_back(client);
  }
  return found;
}

class InstallerRuns : public ::testing::Test {
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

  // Copies `installer` into `bundleRel` (below the test folder) and returns its path.
  path Place(const std::string& bundleRel, const path& installer = ORVALUNE_TEST_INSTALLER) {
    const path exe = tmp.path() / "bundles" / bundleRel / "Contents" / "MacOS" / "OrvaluneInstaller";
    orvtest::fs::create_directories(exe.parent_path());
    // A copy that ran a moment ago may still be mapped by its last child on its way to
    // exec (text busy): the new copy is renamed over it instead.
    const path copy = exe.string() + ".new";
    orvtest::fs::copy_file(installer, copy, orvtest::fs::copy_options::overwrite_existing);
    orvtest::fs::rename(copy, exe);
    return exe;
  }

  // Places the installer into `bundleRel` and runs it; `limits` are shell commands run
  // first (ulimit).
  int Install(const std::string& bundleRel, const path& installer = ORVALUNE_TEST_INSTALLER,
              const std::string& limits = "true") {
    const path exe = Place(bundleRel, installer);
    const path out = tmp.path() / "installer-output";
    const std::string command = "cd / && " + limits + " && env HOME=" +
                                orvtest::Quote(home.string()) + " " + orvtest::Quote(exe.string()) +
                                " >" + orvtest::Quote(out.string()) + " 2>&1";
    const int status = orvtest::Shell(command);
    EXPECT_EQ(orvtest::ReadFile(out), "") << "the installer prints nothing";
    return status;
  }

  // Places the installer into `bundleRel` and starts it with this test's HOME, without
  // waiting for it.
  pid_t Spawn(const std::string& bundleRel) {
    const path exe = Place(bundleRel);
    std::vector<std::string> envText = {"HOME=" + home.string(), "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = exe.string();
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    return pid;
  }

  path Bundle() const { return home / "Desktop" / "Orvalune Client.app"; }

  // The names in the Desktop folder: after any finished run, the bundle and nothing
  // of the installer's beside it.
  std::vector<std::string> DesktopNames() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(home / "Desktop", ec)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

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
        if (c.exe == exe && !c.program.empty()) clients.push_back(c);
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

}  // namespace orvtest
