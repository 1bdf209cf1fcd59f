// How the installer finds its bundle when its program path names none: the path the
// system gives for the running executable, cut the same way.
#include "TestSupport.h"
#include "installer/InstallerMain.h"
#include "platform/ExecutablePath.h"

namespace {

TEST(FindInstallerBundlePath, FallsBackToTheExecutablesOwnPath) {
  const std::string inBundle = "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller";
  struct Row {
    const char* label;
    std::string program;
    bool systemAnswers;
    std::string executable;  // what the system says, when it answers
    std::string bundle;
  };
  const Row rows[] = {
      {"the program path carries an address: the system is not asked", inBundle, true,
       "/elsewhere/Other_V2A01010101.app/Contents/MacOS/OrvaluneInstaller",
       "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"started as ./OrvaluneInstaller", "./OrvaluneInstaller", true, inBundle,
       "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"started through a link with another name", "/usr/local/bin/orvalune-setup", true, inBundle,
       "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"a bundle without an address, linked to one with", "/Apps/Setup.app/Contents/MacOS/OrvaluneInstaller",
       true, inBundle, "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"a suffix cut short in the program path", "/x/C_V2A0A0102.app/Contents/MacOS/OrvaluneInstaller",
       true, inBundle, "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"an empty program path", "", true, inBundle, "/Users/u/Downloads/OrvaluneClient_V2A0A010203.app"},
      {"only an identifier counts as an address too", "./OrvaluneInstaller", true,
       "/b/C_V2I00000007.app/Contents/MacOS/OrvaluneInstaller", "/b/C_V2I00000007.app"},
      {"neither carries an address: the program path as today", "./OrvaluneInstaller", true,
       "/Apps/Setup.app/Contents/MacOS/OrvaluneInstaller", "./OrvaluneInstaller"},
      {"neither, with a \".app\" in the program path", "/a/C.app/Contents/MacOS/OrvaluneInstaller", true,
       "/b/D_V2.app/Contents/MacOS/OrvaluneInstaller", "/a/C.app"},
      {"the system cannot say", "./OrvaluneInstaller", false, "", "./OrvaluneInstaller"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    int asked = 0;
    const varnesk::ExecutablePathSource system = [&](std::string& path) {
      ++asked;
      if (row.systemAnswers) path = row.executable;
      return row.systemAnswers;
    };
    EXPECT_EQ(varnesk::FindInstallerBundlePath(row.program, system), row.bundle);
    if (row.program == inBundle) {
      EXPECT_EQ(asked, 0);
    }
  }
}

TEST(ExecutablePath, IsTheRunningTestProgramResolved) {
  std::string path;
  ASSERT_TRUE(platform::ExecutablePath(path));
  EXPECT_EQ(orvtest::fs::path(path).filename(), "unit_tests");
  EXPECT_EQ(orvtest::fs::path(path), orvtest::fs::canonical(path));
}

}  // namespace
