// The built installer, run as a user would run it: copied into an installer bundle,
// started with a fresh HOME, judged by what is on disk and which client runs.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "ChildProcesses.h"
#include "InstallerRuns.h"
#include "TestSupport.h"

namespace {

using orvtest::fs::path;

using orvtest::ClientsBelow;
using orvtest::RunningClient;

class EndToEndTest : public orvtest::InstallerRuns {};

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

TEST_F(EndToEndTest, RelativeHomeMeansTheFolderBelowTheStartingDirectory) {
  // The link repair changes the working directory; a HOME taken literally after that
  // failed the install and left the staging folder behind.
  orvtest::fs::create_directories(home / "Desktop");
  const path exe = Place("OrvaluneClient_V2A7F000001I00000001.app");
  const std::string command = "cd " + orvtest::Quote(tmp.path().string()) + " && env HOME=" +
                              orvtest::Quote(home.lexically_relative(tmp.path()).string()) + " " +
                              orvtest::Quote(exe.string()) + " >/dev/null 2>&1";
  ASSERT_EQ(orvtest::Shell(command), 1);
  EXPECT_NE(OnlyClient().pid, 0);
  ExpectInstalledBundle();
  EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"});
}

TEST_F(EndToEndTest, DamagedPayloadLeavesTheInstalledClientAlone) {
  orvtest::fs::create_directories(home / "Desktop");
  ASSERT_EQ(Install("OrvaluneClient_V2A7F000001.app"), 1);
  const pid_t running = OnlyClient().pid;
  orvtest::WriteFile(Bundle() / "user-data", "x");

  // Flip one byte in the middle of the archive inside the installer's executable.
  std::vector<unsigned char> binary = orvtest::ReadBytes(ORVALUNE_TEST_INSTALLER);
  const std::vector<unsigned char> archive = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
  const auto at = std::search(binary.begin(), binary.end(), archive.begin(), archive.begin() + 256);
  ASSERT_NE(at, binary.end());
  at[static_cast<long>(archive.size() / 2)] ^= 0x01;
  const path damaged = tmp.path() / "damaged";
  orvtest::WriteFile(damaged, std::string(binary.begin(), binary.end()));
  orvtest::fs::permissions(damaged, orvtest::fs::perms(0755));

  EXPECT_EQ(Install("OrvaluneClient_V2A7F000001.app", damaged), 0);
  EXPECT_EQ(OnlyClient().pid, running) << "the running client was not killed";
  EXPECT_TRUE(orvtest::fs::exists(Bundle() / "user-data")) << "the install was not deleted";
}

TEST_F(EndToEndTest, DesktopThatIsAFileIsLeftAlone) {
  orvtest::fs::create_directories(home);
  orvtest::WriteFile(home / "Desktop", "not a folder");
  EXPECT_EQ(Install("OrvaluneClient_V2A7F000001.app"), 0);
  EXPECT_EQ(orvtest::ReadFile(home / "Desktop"), "not a folder");
  EXPECT_TRUE(ClientsBelow(tmp.path()).empty());
}

TEST_F(EndToEndTest, RunningOutOfSpaceFailsAndTheNextRunSucceeds) {
  orvtest::fs::create_directories(home / "Desktop");
  // 64 KiB per file: the client executable does not fit.
  EXPECT_EQ(Install("OrvaluneClient_V2A7F000001.app", ORVALUNE_TEST_INSTALLER, "ulimit -f 64"), 0);
  EXPECT_TRUE(ClientsBelow(tmp.path()).empty());
  EXPECT_EQ(Install("OrvaluneClient_V2A7F000001.app"), 1);
  ExpectInstalledBundle();
  EXPECT_EQ(OnlyClient().args, (std::vector<std::string>{"-ip", "127.0.0.1", "-port", "53100"}));
}

TEST_F(EndToEndTest, KilledDuringExtractionThenRunAgain) {
  orvtest::fs::create_directories(home / "Desktop");
  const pid_t pid = Spawn("OrvaluneClient_V2A7F000001.app");
  // Kill it as soon as its staging folder appears: extraction has just begun.
  auto staging = [&] {
    for (const auto& entry : orvtest::fs::directory_iterator(home / "Desktop")) {
      if (entry.path().filename().string().rfind(".Orvalune Client.app.installing-", 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 200000 && !staging(); ++i) {
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the installer ended before it was killed";
  EXPECT_FALSE(orvtest::fs::exists(Bundle())) << "nothing is put in place before it is complete";

  EXPECT_EQ(Install("OrvaluneClient_V2A7F000001.app"), 1);
  ExpectInstalledBundle();
  EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"}) << "no leftovers";
  EXPECT_EQ(OnlyClient().cwd, Bundle());
}

// What a user does with a downloaded zip: unpack it (with unzip or bsdtar) and start
// the installer from a terminal: by a relative path, from inside the bundle, or through
// a symbolic link. Every way reaches the server that the bundle's name carries.
TEST_F(EndToEndTest, RunsFromAnUnpackedZipHoweverItIsStarted) {
  const std::string name = "OrvaluneClient_V2A7F000001PCF6CI00000007.app";
  const path zips = tmp.path() / "zips";
  orvtest::fs::create_directories(zips);
  ASSERT_EQ(orvtest::Shell(orvtest::Quote(ORVALUNE_TEST_STAMP) +
                           " --ip 127.0.0.1 --port 53100 --id 7 --zip --out " +
                           orvtest::Quote(zips.string()) + " >/dev/null 2>&1"),
            0);
  const path unzipped = tmp.path() / "unzip";
  const path untarred = tmp.path() / "bsdtar";
  const std::string zip = orvtest::Quote((zips / (name + ".zip")).string());
  orvtest::fs::create_directories(unzipped);
  orvtest::fs::create_directories(untarred);
  ASSERT_EQ(orvtest::Shell("unzip -q " + zip + " -d " + orvtest::Quote(unzipped.string())), 0);
  ASSERT_EQ(orvtest::Shell("bsdtar -xf " + zip + " -C " + orvtest::Quote(untarred.string())), 0);
  const path links = tmp.path() / "links";
  orvtest::fs::create_directories(links);
  orvtest::fs::create_symlink(unzipped / name / "Contents/MacOS/OrvaluneInstaller", links / "Install Orvalune");
  orvtest::fs::create_symlink(untarred / name, links / "Setup");

  struct Row {
    const char* label;
    path startIn;
    std::string program;  // as typed, so argv[0]
  };
  const Row rows[] = {
      {"unzip, by a relative path", unzipped, name + "/Contents/MacOS/OrvaluneInstaller"},
      {"unzip, from inside the bundle", unzipped / name / "Contents/MacOS", "./OrvaluneInstaller"},
      {"unzip, through a link to the executable", links, "./Install Orvalune"},
      {"bsdtar, through a link to the bundle folder", tmp.path(), "links/Setup/Contents/MacOS/OrvaluneInstaller"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::fs::remove_all(home);
    orvtest::fs::create_directories(home);
    const path output = tmp.path() / "installer-output";
    EXPECT_EQ(orvtest::Shell("cd " + orvtest::Quote(row.startIn.string()) + " && env HOME=" +
                             orvtest::Quote(home.string()) + " " + orvtest::Quote(row.program) + " >" +
                             orvtest::Quote(output.string()) + " 2>&1"),
              1);
    EXPECT_EQ(orvtest::ReadFile(output), "") << "the installer prints nothing";
    ExpectInstalledBundle();
    const RunningClient client = OnlyClient();
    EXPECT_EQ(client.args, (std::vector<std::string>{"-ip", "127.0.0.1", "-port", "53100", "-identifyid", "7"}));
    EXPECT_EQ(client.cwd, Bundle());
    TearDown();
  }
}

}  // namespace
