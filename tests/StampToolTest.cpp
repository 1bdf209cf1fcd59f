// orvalune-stamp for administrators: help, zips to download, templates signed once.
#include <sys/stat.h>

#include <algorithm>

#include "ArchiveFixtures.h"
#include "StampFixture.h"

namespace {

using orvtest::fs::path;
using orvtest::Quote;
using Output = orvtest::ToolOutput;

const std::string kName = "OrvaluneClient_V2A0A010203I00000007.app";

void ExpectOneLineError(const Output& result, const std::string& message) {
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("orvalune-stamp: ", 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
}

// A bundle shaped like one signed on a Mac: a seal, a framework with version links,
// files and a folder of unusual modes.
path MakeTemplate(const path& root) {
  const path bundle = root / "Signed Installer.app";
  orvtest::WriteFile(bundle / "Contents/Info.plist", "<plist>template's own</plist>\n");
  orvtest::WriteFile(bundle / "Contents/_CodeSignature/CodeResources", "sealed resources\n");
  orvtest::fs::create_directories(bundle / "Contents/MacOS");
  orvtest::fs::copy_file(ORVALUNE_TEST_INSTALLER, bundle / "Contents/MacOS/OrvaluneInstaller");
  orvtest::fs::permissions(bundle / "Contents/MacOS/OrvaluneInstaller", orvtest::fs::perms(0755));
  const path framework = bundle / "Contents/Frameworks/Helper.framework";
  orvtest::WriteFile(framework / "Versions/A/Helper", "library bytes\n");
  orvtest::fs::create_symlink("A", framework / "Versions/Current");
  orvtest::fs::create_symlink("Versions/Current/Helper", framework / "Helper");
  orvtest::WriteFile(bundle / "Contents/Resources/private/key", "secret\n");
  orvtest::fs::permissions(bundle / "Contents/Resources/private/key", orvtest::fs::perms(0600));
  orvtest::fs::permissions(bundle / "Contents/Resources/private", orvtest::fs::perms(0555));
  return bundle;
}

class StampToolTest : public orvtest::StampFixture {};

TEST_F(StampToolTest, HelpAndVersionGoToStandardOutput) {
  const std::pair<std::string, std::string> rows[] = {
      {"--help", "Usage:\n  orvalune-stamp "},
      {"-h", "Usage:\n"},
      {"--ip 10.1.2.3 --help --bogus", "Usage:\n"},
      {"--version", "orvalune-stamp 3.5.11296\n"},
  };
  for (const auto& [args, start] : rows) {
    SCOPED_TRACE(args);
    const Output result = Stamp(args + Out());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.substr(0, start.size()), start);
    EXPECT_EQ(result.err, "");
  }
  const std::string help = Stamp("--help").out;
  for (const char* word : {"--ip ", "--port ", "--id ", "--ods ", "--ip2 ", "--lflag ", "--name ",
                           "--out ", "--zip ", "--force ", "--dry-run ", "--installer ", "--from ",
                           "--batch ", "--decode ", "--version", "ip,port,id,ods,ip2,lflag,name",
                           "manifest.csv", "Exit status"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
  EXPECT_TRUE(orvtest::ListTree(out).empty());
}

TEST_F(StampToolTest, UsageErrorsAreOneLineWithStatusTwoAndWriteNothing) {
  const path good = MakeTemplate(tmp.path());
  orvtest::WriteFile(tmp.path() / "NoInstaller.app/Contents/Info.plist", "x");
  orvtest::WriteFile(tmp.path() / "NotExecutable.app/Contents/MacOS/OrvaluneInstaller", "x");
  orvtest::fs::create_directories(tmp.path() / "WithPipe.app/Contents/MacOS");
  orvtest::fs::copy_file(good / "Contents/MacOS/OrvaluneInstaller",
                         tmp.path() / "WithPipe.app/Contents/MacOS/OrvaluneInstaller");
  ASSERT_EQ(::mkfifo((tmp.path() / "WithPipe.app/Contents/pipe").c_str(), 0600), 0);
  const auto before = orvtest::Snapshot(good);
  const std::string t = Quote(tmp.str()) + "/";
  const std::pair<std::string, std::string> rows[] = {
      {"--zip=yes", "--zip takes no value"},
      {"--out", "--out needs a value"},
      {"--ip=10.1.2", "--ip 10.1.2: not a dotted quad"},
      {"--frob", "unknown argument --frob (see --help)"},
      {"--installer /bin/true --from " + Quote(good.string()), "give --installer or --from, not both"},
      {"--batch x.csv --ip 10.1.2.3", "--batch takes the server values from its file"},
      {"--batch x.csv --decode y", "give --batch or --decode, not both"},
      {"--batch " + t + "missing.csv", "--batch " + tmp.str() + "/missing.csv: cannot be read"},
      {"--name .hidden", "--name \".hidden\": not a file name"},
      {"--name " + Quote("tab\there"), "not a file name"},
      {"--name " + std::string(201, 'x'), "longer than 200 bytes"},
      {"--installer " + t + "missing", "not found (build it, or give --installer)"},
      {"--from " + t + "missing.app", "--from " + tmp.str() + "/missing.app: not a folder"},
      {"--from " + t + "NoInstaller.app", "holds no Contents/MacOS/OrvaluneInstaller"},
      {"--from " + t + "NotExecutable.app", "Contents/MacOS/OrvaluneInstaller is not executable"},
      {"--from " + t + "WithPipe.app", "Contents/pipe is a named pipe"},
      {"--from " + Quote(good.string()) + " --out " + Quote((good / "Contents").string()),
       "lies inside the template"},
  };
  for (const auto& [args, message] : rows) {
    SCOPED_TRACE(args);
    ExpectOneLineError(Stamp(Out() + " " + args), message);
    EXPECT_TRUE(orvtest::ListTree(out).empty());
  }
  EXPECT_EQ(orvtest::Snapshot(good), before);
  ExpectOneLineError(Stamp("--zip" + Out(), "PATH=" + Quote(tmp.str())),
                     "--zip needs Info-ZIP's zip on PATH");
}

TEST_F(StampToolTest, ZipUnpacksToTheBundleWithUnzipAndBsdtar) {
  const Output made = Stamp("--ip 10.1.2.3 --id 7 --zip" + Out());
  ASSERT_EQ(made.status, 0) << made.err;
  const path zip = out / (kName + ".zip");
  EXPECT_EQ(made.out, zip.string() + "\n");
  EXPECT_NE(made.err.find("OrvaluneInstaller is not a Mach-O executable: the zip will not run on a Mac"),
            std::string::npos);
  EXPECT_EQ(orvtest::ListTree(out), std::vector<std::string>{kName + ".zip"}) << "no work folder left";
  const std::vector<std::string> names = {kName + "/", kName + "/Contents/", kName + "/Contents/Info.plist",
                                          kName + "/Contents/MacOS/", kName + "/Contents/MacOS/OrvaluneInstaller"};
  EXPECT_EQ(orvtest::ZipNames(zip), names);

  const path folders = tmp.path() / "folders";
  orvtest::fs::create_directories(folders);
  ASSERT_EQ(Stamp("--ip 10.1.2.3 --id 7 --out " + Quote(folders.string())).status, 0);
  const auto expected = orvtest::Snapshot(folders / kName);
  const std::pair<const char*, std::string> unpackers[] = {
      {"unzip", "unzip -q " + Quote(zip.string()) + " -d "},
      {"bsdtar", "bsdtar -xf " + Quote(zip.string()) + " -C "},
  };
  for (const auto& [label, command] : unpackers) {
    SCOPED_TRACE(label);
    const path into = tmp.path() / label;
    orvtest::fs::create_directories(into);
    ASSERT_EQ(orvtest::Shell("umask 022 && " + command + Quote(into.string())), 0);
    EXPECT_EQ(orvtest::ListTree(into).front(), kName + "/");
    EXPECT_EQ(orvtest::Snapshot(into / kName), expected);
    struct stat st {};
    ASSERT_EQ(::stat((into / kName / "Contents/MacOS/OrvaluneInstaller").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

TEST_F(StampToolTest, WarnsOnlyWhenTheZippedInstallerIsNoMachO) {
  const std::pair<std::string, bool> rows[] = {
      {std::string("\xCF\xFA\xED\xFE", 4), false},  // 64-bit, little-endian
      {std::string("\xCA\xFE\xBA\xBE", 4), false},  // universal
      {"#!/bin/sh\n", true},
  };
  for (const auto& [head, warns] : rows) {
    SCOPED_TRACE(warns);
    const path installer = tmp.path() / "installer";
    orvtest::WriteFile(installer, head + std::string(64, '\0'));
    const Output made = Stamp("--ip 10.1.2.3 --zip --force --installer " + Quote(installer.string()) + Out());
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.err.find("is not a Mach-O executable") != std::string::npos, warns) << made.err;
  }
}

TEST_F(StampToolTest, DecodeReadsTheBundleFolderInsideAZipUnderAnyName) {
  ASSERT_EQ(Stamp("--ip 10.1.2.3 --id 7 --zip" + Out()).status, 0);
  const path renamed = tmp.path() / "OrvaluneClient (1).zip";
  orvtest::fs::rename(out / (kName + ".zip"), renamed);
  const Output decoded = Stamp("--decode " + Quote(renamed.string()));
  EXPECT_EQ(decoded.status, 0) << decoded.err;
  const std::string fields = "bundle  " + kName + "\nip      10.1.2.3\nip2     none\nport    53100\n"
                             "id      7\nsflag   no\nlflag   no\n";
  EXPECT_EQ(decoded.out.substr(0, fields.size()), fields);

  struct Row {
    const char* label;
    std::vector<std::string> files;  // below the zip's root; the installer gets `mode`
    unsigned mode;
    std::string message;  // empty: decodes
  };
  const std::string installer = "/Contents/MacOS/OrvaluneInstaller";
  const Row rows[] = {
      {"zipped by hand without the execute bit", {"B_V2A0A010203.app" + installer}, 0644,
       "B_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller is not executable (mode 0644)"},
      {"two folders", {"A.app" + installer, "B.app" + installer}, 0755, "holds 2 top-level entries"},
      {"a folder without .app", {"Setup" + installer}, 0755, "its folder \"Setup\" does not end in \".app\""},
      {"a single file", {"B_V2A0A010203.app"}, 0755, "holds only \"B_V2A0A010203.app\", no bundle folder"},
      {"no installer", {"B_V2A0A010203.app/Contents/Info.plist"}, 0755,
       "holds no B_V2A0A010203.app/Contents/MacOS/OrvaluneInstaller"},
      {"with a __MACOSX folder", {"B_V2A0A010203.app" + installer, "__MACOSX/._B_V2A0A010203.app"}, 0755, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const path root = tmp.path() / "zip-root";
    const path zip = tmp.path() / "made by hand.zip";
    orvtest::fs::remove_all(root);
    orvtest::fs::remove(zip);
    for (const std::string& file : row.files) {
      orvtest::WriteFile(root / file, "x");
      orvtest::fs::permissions(root / file, orvtest::fs::perms(row.mode));
    }
    for (const auto& top : orvtest::fs::directory_iterator(root)) {
      orvtest::ZipFolder(root, top.path().filename().string(), zip);
    }
    const Output result = Stamp("--decode " + Quote(zip.string()));
    if (row.message.empty()) {
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_NE(result.out.find("ip      10.1.2.3\n"), std::string::npos);
    } else {
      ExpectOneLineError(result, zip.string() + ": " + row.message);
    }
  }
}

TEST_F(StampToolTest, FromATemplateCopiesEveryFileAndChangesOnlyTheFolderName) {
  const path tmpl = MakeTemplate(tmp.path());
  const auto original = orvtest::Snapshot(tmpl);
  const Output made = Stamp("--from " + Quote(tmpl.string()) + " --ip 10.1.2.3 --id 7" + Out());
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, (out / kName).string() + "\n");
  EXPECT_EQ(orvtest::Snapshot(out / kName), original);
  EXPECT_EQ(orvtest::fs::last_write_time(out / kName / "Contents/Info.plist"),
            orvtest::fs::last_write_time(tmpl / "Contents/Info.plist"));

  // Zipped, one by one and in a batch: every zip unpacks to the template's tree.
  const path zips = tmp.path() / "zips";
  orvtest::fs::create_directories(zips);
  const std::string from = " --from " + Quote(tmpl.string()) + " --zip --out " + Quote(zips.string());
  ASSERT_EQ(Stamp("--ip 10.1.2.3 --id 7" + from).status, 0);
  const Output batch = Stamp(Batch("ip,id\n10.1.2.4,8\n10.1.2.5,9\n") + from);
  ASSERT_EQ(batch.status, 0) << batch.err;
  for (const std::string& name : {kName, std::string("OrvaluneClient_V2A0A010204I00000008.app"),
                                 std::string("OrvaluneClient_V2A0A010205I00000009.app")}) {
    SCOPED_TRACE(name);
    const path into = tmp.path() / ("unzipped-" + name);
    orvtest::fs::create_directories(into);
    ASSERT_EQ(orvtest::Shell("umask 022 && unzip -q " + Quote((zips / (name + ".zip")).string()) + " -d " +
                             Quote(into.string())),
              0);
    EXPECT_EQ(orvtest::Snapshot(into / name), original);
  }
  EXPECT_EQ(orvtest::Snapshot(tmpl), original) << "the template is left as it was";
}

TEST_F(StampToolTest, DryRunChecksEverythingAndWritesNothing) {
  const Output single = Stamp("--ip 10.1.2.3 --id 7 --zip --dry-run" + Out());
  EXPECT_EQ(single.status, 0);
  EXPECT_EQ(single.out, (out / (kName + ".zip")).string() + "\n");
  const Output batch = Stamp(Batch("ip\n10.0.0.1\n10.0.0.2\n") + " --dry-run" + Out());
  EXPECT_EQ(batch.status, 0);
  EXPECT_EQ(batch.out, (out / "OrvaluneClient_V2A0A000001.app").string() + "\n" +
                           (out / "OrvaluneClient_V2A0A000002.app").string() + "\n" +
                           (out / "manifest.csv").string() + "\n");
  ExpectOneLineError(Stamp(Batch("ip\n10.0.0.1\n10.0.0\n") + " --dry-run" + Out()), "batch.csv:3: ip 10.0.0:");
  EXPECT_TRUE(orvtest::ListTree(out).empty());
}

}  // namespace
