// The build's archive check and the stamping tool, run as the build and a user run them.
#include <sys/stat.h>

#include "ArchiveFixtures.h"
#include "TestSupport.h"

namespace {

using orvtest::fs::path;
using orvtest::RunTool;
using Output = orvtest::ToolOutput;

class CheckArchiveTest : public ::testing::Test {
 protected:
  CheckArchiveTest() {
    const std::string command = std::string(ORVALUNE_TEST_MAKE_BUNDLE) + " " +
                                ORVALUNE_TEST_CLIENT + " " + orvtest::Quote(src.string()) + " " +
                                orvtest::Quote((tmp.path() / "unused.zip").string());
    EXPECT_EQ(orvtest::Shell(command), 0);
  }
  Output Check(const path& archive) {
    return RunTool(tmp, std::string(ORVALUNE_TEST_CHECK_ARCHIVE) + " " + orvtest::Quote(archive.string()));
  }
  path Bundle() const { return src / "Orvalune Client.app"; }

  orvtest::TempDir tmp;
  path src = tmp.path() / "src";
  path archive = tmp.path() / "client.zip";
};

TEST_F(CheckArchiveTest, AcceptsTheStandInClient) {
  const Output result = Check(ORVALUNE_TEST_CLIENT_ARCHIVE);
  EXPECT_EQ(result.status, 0) << result.err;
  orvtest::ZipFolder(src, "Orvalune Client.app", archive);
  EXPECT_EQ(Check(archive).status, 0);
}

TEST_F(CheckArchiveTest, RejectsBrokenArchives) {
  struct Row {
    const char* label;
    std::function<void()> prepare;  // changes the bundle or the archive
    std::string message;
  };
  const path qtCore = Bundle() / "Contents/Frameworks/QtCore.framework";
  const Row rows[] = {
      {"a link row missing", [&] { orvtest::fs::remove(qtCore / "QtCore"); },
       "entry \"Orvalune Client.app/Contents/Frameworks/QtCore.framework/QtCore\": link entry "
       "missing"},
      {"a link with another target",
       [&] {
         orvtest::fs::remove(qtCore / "Resources");
         orvtest::fs::create_symlink("Versions/5/Resources", qtCore / "Resources");
       },
       "link target is \"Versions/5/Resources\", expected \"Versions/Current/Resources\""},
      {"a link row stored as a file",
       [&] {
         orvtest::fs::remove(qtCore / "QtCore");
         orvtest::WriteFile(qtCore / "QtCore", "Versions/Current/QtCore");
       },
       "QtCore\": must be a stored link entry"},
      {"no executable", [&] { orvtest::fs::remove(Bundle() / "Contents/MacOS/OrvaluneClient"); },
       "the client executable is missing"},
      {"a name with \"..\"",
       [&] {
         orvtest::WriteFile(Bundle() / "Contents/xx/evil", "x");
         orvtest::ZipFolder(src, "Orvalune Client.app", archive);
         // Same length, so every offset in the archive stays right.
         std::vector<unsigned char> bytes = orvtest::ReadBytes(archive);
         const std::string from = "Contents/xx/evil", to = "Contents/../evil";
         for (std::size_t i = 0; i + from.size() <= bytes.size(); ++i) {
           if (std::equal(from.begin(), from.end(), bytes.begin() + static_cast<long>(i))) {
             std::copy(to.begin(), to.end(), bytes.begin() + static_cast<long>(i));
           }
         }
         orvtest::WriteFile(archive, std::string(bytes.begin(), bytes.end()));
       },
       "holds a \"..\" component"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::fs::remove_all(src);
    orvtest::fs::remove(archive);
    ASSERT_EQ(orvtest::Shell(std::string(ORVALUNE_TEST_MAKE_BUNDLE) + " " + ORVALUNE_TEST_CLIENT +
                             " " + orvtest::Quote(src.string()) + " " +
                             orvtest::Quote((tmp.path() / "unused.zip").string())),
              0);
    row.prepare();
    if (!orvtest::fs::exists(archive)) orvtest::ZipFolder(src, "Orvalune Client.app", archive);
    const Output result = Check(archive);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
  }
}

TEST_F(CheckArchiveTest, RejectsTwoTopFolders) {
  orvtest::WriteFile(src / "Other.app" / "Contents" / "Info.plist", "x");
  orvtest::ZipFolder(src, "Orvalune Client.app", archive);
  orvtest::ZipFolder(src, "Other.app", archive);
  const Output result = Check(archive);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("entry \"Other.app/\": lies outside the single top folder"),
            std::string::npos)
      << result.err;
}

TEST_F(CheckArchiveTest, RejectsWhatIsNoArchive) {
  orvtest::WriteFile(archive, std::string(100, 'x'));
  const Output result = Check(archive);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("no end-of-central-directory record"), std::string::npos);
}

class StampTest : public ::testing::Test {
 protected:
  Output Stamp(const std::string& args) {
    return RunTool(tmp, std::string(ORVALUNE_TEST_STAMP) + " " + args);
  }
  orvtest::TempDir tmp;
  path out = tmp.path() / "out";
  orvtest::ScopedEnv home{"HOME", tmp.str().c_str()};
};

TEST_F(StampTest, StampThenDecodeGivesBackEveryField) {
  orvtest::fs::create_directories(out);
  struct Row {
    std::string args;
    std::string bundle;
    std::string decoded;  // the fields as --decode prints them
  };
  const Row rows[] = {
      {"--ip 10.1.2.3 --port 53100 --id 7", "OrvaluneClient_V2A0A010203PCF6CI00000007.app",
       "ip      10.1.2.3\nip2     none\nport    53100\nid      7\nsflag   no\nlflag   no\n"},
      {"--ip 192.168.40.17 --ods --ip2 172.16.0.9 --id 300 --lflag",
       "OrvaluneClient_V2SC0A82811BAC100009I0000012CL.app",
       "ip      192.168.40.17\nip2     172.16.0.9\nport    53100\nid      300\n"
       "sflag   yes (discovery service)\nlflag   yes\n"},
      {"", "OrvaluneClient_V2.app",
       "ip      none\nip2     none\nport    0\nid      0\nsflag   no\nlflag   no\n"},
      {"--ip 255.255.255.255 --port 65535 --id 4294967295 --name Setup",
       "Setup_V2AFFFFFFFFPFFFFIFFFFFFFF.app",
       "ip      255.255.255.255\nip2     none\nport    65535\nid      4294967295\nsflag   no\n"
       "lflag   no\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    const Output made = Stamp(row.args + " --out " + orvtest::Quote(out.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    const path bundle = out / row.bundle;
    EXPECT_EQ(made.out, bundle.string() + "\n");
    struct stat st {};
    ASSERT_EQ(::stat((bundle / "Contents/MacOS/OrvaluneInstaller").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_NE(orvtest::ReadFile(bundle / "Contents/Info.plist").find("OrvaluneInstaller"),
              std::string::npos);
    const Output decoded = Stamp("--decode " + orvtest::Quote(
                                     (bundle / "Contents/MacOS/OrvaluneInstaller").string()));
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.out.substr(0, row.decoded.size()), row.decoded);
  }
}

// The macOS build leaves an installer bundle; stamping copies its executable unchanged
// (a code signature covers the bytes), from the bundle or from the executable's path.
TEST_F(StampTest, StampsFromAnInstallerBundleByteForByte) {
  orvtest::fs::create_directories(out);
  const path bundle = tmp.path() / "build-mac" / "OrvaluneInstaller.app";
  const path executable = bundle / "Contents/MacOS/OrvaluneInstaller";
  orvtest::fs::create_directories(executable.parent_path());
  std::string bytes("\xca\xfe\xba\xbe", 4);
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7);
  orvtest::WriteFile(executable, bytes);

  for (const path& given : {bundle, executable}) {
    SCOPED_TRACE(given.string());
    const Output made = Stamp("--ip 10.1.2.3 --force --installer " + orvtest::Quote(given.string()) +
                              " --out " + orvtest::Quote(out.string()));
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(orvtest::ReadFile(out / "OrvaluneClient_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller"),
              bytes);
  }

  const path empty = tmp.path() / "Empty.app";
  orvtest::fs::create_directories(empty);
  const Output missing = Stamp("--ip 10.1.2.4 --installer " + orvtest::Quote(empty.string()) +
                               " --out " + orvtest::Quote(out.string()));
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("Empty.app/Contents/MacOS/OrvaluneInstaller not found"), std::string::npos)
      << missing.err;
}

TEST_F(StampTest, DecodeSaysWhyANameCarriesNoAddress) {
  const Output short_field = Stamp("--decode OrvaluneClient_V2A0A0102PCF6C.app");
  EXPECT_EQ(short_field.status, 1);
  EXPECT_NE(short_field.out.find("carries no valid address: a field after the last \"_V\" is cut short"),
            std::string::npos);
  const Output no_suffix = Stamp("--decode /Apps/Setup.app");
  EXPECT_NE(no_suffix.out.find("no \"_V\" followed by a version number"), std::string::npos);
}

TEST_F(StampTest, BadInputWritesNothing) {
  orvtest::fs::create_directories(out);
  ASSERT_EQ(Stamp("--ip 10.1.2.3 --out " + orvtest::Quote(out.string())).status, 0);
  const std::vector<std::string> before = orvtest::ListTree(out);
  const std::pair<std::string, std::string> rows[] = {
      {"--ip 10.1.2", "not a dotted quad"},
      {"--ip 10.1.2.256", "not a dotted quad"},
      {"--ip 10.1.2.3.4", "not a dotted quad"},
      {"--ip ten.1.2.3", "not a dotted quad"},
      {"--ip 10.1.2.3 --ip2 1..2.3", "not a dotted quad"},
      {"--ip 10.1.2.3 --port 0", "not a port 1-65535"},
      {"--ip 10.1.2.3 --port 65536", "not a port 1-65535"},
      {"--ip 10.1.2.3 --port -1", "not a port 1-65535"},
      {"--ip 10.1.2.3 --id 0", "not an identifier 1-4294967295"},
      {"--ip 10.1.2.3 --id 4294967296", "not an identifier 1-4294967295"},
      {"--ods --id 3", "--ods marks the --ip address"},
      {"--ip 10.1.2.3", "already exists (give --force"},
      {"--ip 10.1.2.3 --name My_Vpn", "holds \"_V\""},
      {"--ip 10.1.2.3 --name my_v", "holds \"_V\""},
      {"--ip 10.1.2.3 --bogus", "unknown argument --bogus"},
      {"--ip", "--ip --out: not a dotted quad"},
  };
  for (const auto& [args, message] : rows) {
    SCOPED_TRACE(args);
    const Output result = Stamp(args + " --out " + orvtest::Quote(out.string()));
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(orvtest::ListTree(out), before);
  }
  EXPECT_EQ(Stamp("--ip 10.1.2.3 --force --out " + orvtest::Quote(out.string())).status, 0);
  EXPECT_EQ(orvtest::ListTree(out), before);
}

}  // namespace
