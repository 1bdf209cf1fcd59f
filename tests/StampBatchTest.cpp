// Batches of installer bundles: every line checked first, a manifest last, and a run
// that fails part way leaves the output folder as it found it.
#include <signal.h>

#include <algorithm>
#include <sstream>

#include "StampFixture.h"
#include "tools/stamp_batch.h"
#include "tools/stamp_writer.h"

namespace {

using orvtest::fs::path;
using orvtest::Quote;
using Output = orvtest::ToolOutput;

const std::string kHeader = "ip,port,id,ods,ip2,lflag,name\n";

std::string Sha256(const path& file) {
  FILE* pipe = ::popen(("sha256sum " + Quote(file.string())).c_str(), "r");
  char digest[65] = {};
  const std::size_t n = std::fread(digest, 1, 64, pipe);
  ::pclose(pipe);
  return std::string(digest, n);
}

// Standard error without the warning about an installer that is no Mach-O.
std::string Errors(const Output& result) {
  std::string errors;
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("orvalune-stamp: warning: ", 0) != 0) errors += line + "\n";
  }
  return errors;
}

class StampBatchTest : public orvtest::StampFixture {
 protected:
  // A `zip` that runs `before` (shell lines) and then the real zip; returns the PATH
  // assignment that puts it first.
  std::string StubZip(const std::string& before) {
    const path stubs = tmp.path() / "stubs";
    const path realZip = tmp.path() / "real-zip";
    EXPECT_EQ(orvtest::Shell("command -v zip | tr -d '\\n' >" + Quote(realZip.string())), 0);
    orvtest::WriteFile(stubs / "zip",
                       "#!/bin/sh\n" + before + "exec " + Quote(orvtest::ReadFile(realZip)) + " \"$@\"\n");
    orvtest::fs::permissions(stubs / "zip", orvtest::fs::perms(0755));
    return "PATH=" + Quote(stubs.string()) + ":\"$PATH\"";
  }
};

TEST_F(StampBatchTest, MakesOneZipPerLineAndTheManifest) {
  // Columns in another order, a byte-order mark, Windows line ends, a blank line,
  // quoted and padded fields, every spelling of the flags.
  const std::string csv =
      "\xEF\xBB\xBFname,ip,port,id,ods,ip2,lflag\r\n"
      "Setup,10.1.2.3,,7,,,\r\n"
      ",192.168.40.17,,300,yes,172.16.0.9,true\n"
      "\n"
      "\"Acme, \"\"East\"\"\",10.0.0.1,8080,,no,,0\n"
      " , 10.0.0.2 , , , FALSE , , 1 \n";
  const Output made = Stamp(Batch(csv) + " --zip" + Out());
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string bundles[] = {"Setup_V2A0A010203I00000007.app",
                                 "OrvaluneClient_V2SC0A82811BAC100009I0000012CL.app",
                                 "Acme, \"East\"_V2A0A000001P1F90.app", "OrvaluneClient_V2A0A000002L.app"};
  std::string listed;
  for (const std::string& bundle : bundles) listed += (out / (bundle + ".zip")).string() + "\n";
  EXPECT_EQ(made.out, listed + (out / "manifest.csv").string() + "\n");
  auto sha = [&](const std::string& bundle) { return Sha256(out / (bundle + ".zip")); };
  EXPECT_EQ(orvtest::ReadFile(out / "manifest.csv"),
            "line,bundle,file,ip,port,id,ods,ip2,lflag,sha256\n"
            "2,Setup_V2A0A010203I00000007.app,Setup_V2A0A010203I00000007.app.zip,10.1.2.3,53100,7,0,,0," +
                sha(bundles[0]) +
                "\n"
                "3,OrvaluneClient_V2SC0A82811BAC100009I0000012CL.app,"
                "OrvaluneClient_V2SC0A82811BAC100009I0000012CL.app.zip,192.168.40.17,53100,300,1,172.16.0.9,1," +
                sha(bundles[1]) +
                "\n"
                "5,\"Acme, \"\"East\"\"_V2A0A000001P1F90.app\",\"Acme, \"\"East\"\"_V2A0A000001P1F90.app.zip\","
                "10.0.0.1,8080,,0,,0," +
                sha(bundles[2]) +
                "\n"
                "6,OrvaluneClient_V2A0A000002L.app,OrvaluneClient_V2A0A000002L.app.zip,10.0.0.2,53100,,0,,1," +
                sha(bundles[3]) + "\n");
  const Output decoded = Stamp("--decode " + Quote((out / (bundles[1] + ".zip")).string()));
  EXPECT_NE(decoded.out.find("sflag   yes (discovery service)\nlflag   yes\n"), std::string::npos);

  // From standard input, as folders: no checksum column.
  const path folders = tmp.path() / "folders";
  orvtest::fs::create_directories(folders);
  const Output piped = RunTool(tmp, "printf 'ip,id\\n10.0.0.9,3\\n' | " + std::string(ORVALUNE_TEST_STAMP) +
                                        " --batch - --out " + Quote(folders.string()));
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_TRUE(orvtest::fs::is_regular_file(folders / "OrvaluneClient_V2A0A000009I00000003.app/Contents/MacOS/OrvaluneInstaller"));
  EXPECT_EQ(orvtest::ReadFile(folders / "manifest.csv"),
            "line,bundle,file,ip,port,id,ods,ip2,lflag,sha256\n"
            "2,OrvaluneClient_V2A0A000009I00000003.app,OrvaluneClient_V2A0A000009I00000003.app,"
            "10.0.0.9,53100,3,0,,0,\n");
}

TEST_F(StampBatchTest, FirstBadLineIsReportedWithItsNumberAndNothingIsWritten) {
  const std::string good = "10.0.0.1,,,,,,\n";
  orvtest::WriteFile(out / "OrvaluneClient_V2A0A010203.app.zip", "made earlier");
  const std::vector<std::string> before = orvtest::ListTree(out);
  struct Row {
    std::string csv;
    std::string message;  // after "batch.csv"
  };
  const Row rows[] = {
      {kHeader + good + "10.1.2,,,,,,\n", ":3: ip 10.1.2: not a dotted quad"},
      {kHeader + "0.0.0.0,,,,,,\n", ":2: ip 0.0.0.0: zero means no address"},
      {kHeader + good + "10.0.0.2,0,,,,,\n", ":3: port 0: not a port 1-65535"},
      {kHeader + "10.0.0.2,65536,,,,,\n", ":2: port 65536: not a port 1-65535"},
      {kHeader + "10.0.0.2,,4294967296,,,,\n", ":2: id 4294967296: not an identifier 1-4294967295"},
      {kHeader + "10.0.0.2,,,maybe,,,\n", ":2: ods maybe: not 1/0, true/false, yes/no or empty"},
      {kHeader + ",,5,yes,,,\n", ":2: ods marks the ip address; give ip"},
      {kHeader + "10.0.0.2,,,,1.2.3,,\n", ":2: ip2 1.2.3: not a dotted quad"},
      {kHeader + "10.0.0.2,,,,,2,\n", ":2: lflag 2: not 1/0, true/false, yes/no or empty"},
      {kHeader + "10.0.0.2,,,,,,My_Vpn\n", ":2: name \"My_Vpn\" holds \"_V\""},
      {kHeader + "10.0.0.2,,,,,,Setup.app\n", ":2: name \"Setup.app\" holds \".app\""},
      {kHeader + "10.0.0.2,,,,,,a/b\n", ":2: name \"a/b\": not a file name"},
      {kHeader + good + "\n" + good,
       ":4: bundle name OrvaluneClient_V2A0A000001.app is given by line 2 already"},
      {kHeader + "10.0.0.1,,,,,,setup\n10.0.0.1,,,,,,SETUP\n",
       ":3: bundle name SETUP_V2A0A000001.app is given by line 2 already as setup_V2A0A000001.app"},
      {kHeader + ",,,,,,\n,,,,,,Other\n,,,,,,\n", ":4: bundle name OrvaluneClient_V2.app is given by line 2"},
      {kHeader + "10.0.0.2,,,,,\n", ":2: 6 fields where the header has 7 fields"},
      {kHeader + "10.0.0.2,,,,,,,\n", ":2: 8 fields where the header has 7 fields"},
      {kHeader + "10.0.0.2,,,,,,\"Acme\n", ":2: a quoted field is not closed"},
      {kHeader + "10.0.0.2,,,,,,\"Acme\" x\n", ":2: text after a quoted field"},
      {kHeader + "10.0.0.2,,,,,,Ac\"me\n", ":2: a quote inside a field that does not start with one"},
      {"ip,port,adress\n", ":1: unknown column \"adress\""},
      {"ip,IP\n", ":1: column \"ip\" given twice"},
      {"", ": empty; its first line must be the header ip,port,id,ods,ip2,lflag,name"},
      {"\n\n" + kHeader, ": no server lines after the header"},
      {kHeader + "\r\n" + good + "10.0.0.2,x,,,,,\r\nbad,,,,,,\n", ":4: port x: not a port 1-65535"},
      {kHeader + good + "10.1.2.3,,,,,,\n",
       ":3: " + (out / "OrvaluneClient_V2A0A010203.app.zip").string() + " already exists (give --force"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.csv);
    const Output result = Stamp(Batch(row.csv) + " --zip" + Out());
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    const std::string start = "orvalune-stamp: " + (tmp.path() / "batch.csv").string() + row.message;
    EXPECT_EQ(result.err.substr(0, start.size()), start);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(orvtest::ListTree(out), before);
  }
  orvtest::WriteFile(out / "manifest.csv", "from another run");
  const Output manifest = Stamp(Batch(kHeader + good) + Out());
  EXPECT_EQ(manifest.status, 2);
  EXPECT_EQ(manifest.err, "orvalune-stamp: " + (out / "manifest.csv").string() +
                              " already exists (give --force to replace it)\n");
}

TEST_F(StampBatchTest, FailurePartWayLeavesTheOutputFolderAsItWas) {
  std::string csv = "ip,id\n";
  for (int id = 1; id <= 6; ++id) csv += "10.0.0." + std::to_string(id) + "," + std::to_string(id) + "\n";
  const std::string batch = Batch(csv);
  // zip runs out of space on the bundle of line 6 (identifier 5).
  const std::string failingZip = StubZip(
      "case \"$*\" in *I00000005*) echo 'zip I/O error: No space left on device' >&2; exit 14;; esac\n");
  const std::string expected = "orvalune-stamp: " + (tmp.path() / "batch.csv").string() +
                               ":6: zip failed with exit status 14: zip I/O error: No space left on device\n"
                               "orvalune-stamp: nothing of this run was kept\n";

  // Into an empty folder: it stays empty.
  const Output first = Stamp(batch + " --zip" + Out(), failingZip);
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.out, "");
  EXPECT_EQ(Errors(first), expected);
  EXPECT_TRUE(orvtest::ListTree(out).empty());

  // Over an earlier run's results with --force: each of them is still there.
  ASSERT_EQ(Stamp(batch + " --zip" + Out()).status, 0);
  orvtest::WriteFile(out / "OrvaluneClient_V2A0A000001I00000001.app.zip", "shipped last week");
  orvtest::WriteFile(out / "manifest.csv", "last week's manifest");
  const auto before = orvtest::Snapshot(out);
  const Output second = Stamp(batch + " --zip --force" + Out(), failingZip);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(Errors(second), expected);
  EXPECT_EQ(orvtest::Snapshot(out), before);
}

TEST_F(StampBatchTest, StopSignalRemovesWhatTheRunWrote) {
  std::string csv = "ip\n";
  for (int i = 1; i <= 8; ++i) csv += "10.0.0." + std::to_string(i) + "\n";
  // zip says that it started, then takes its time.
  const path started = tmp.path() / "zip-started";
  const std::string slowZip = StubZip("touch " + Quote(started.string()) + "\nsleep 1\n");
  const Output result = RunTool(
      tmp, "(" + slowZip + " " + ORVALUNE_TEST_STAMP + Batch(csv) + " --zip" + Out() + " & pid=$!; i=0; " +
               "while [ ! -e " + Quote(started.string()) + " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); " +
               "done; kill -TERM $pid; wait $pid)");
  EXPECT_EQ(result.status, 128 + SIGTERM);
  EXPECT_EQ(Errors(result), "orvalune-stamp: stopped: Terminated\norvalune-stamp: nothing of this run was kept\n");
  EXPECT_TRUE(orvtest::ListTree(out).empty());
}

TEST(OutputTransaction, RollbackRemovesWhatWasPlacedAndPutsBackWhatItReplaced) {
  using varnesk::stamp::OutputTransaction;
  orvtest::TempDir tmp;
  orvtest::WriteFile(tmp.path() / "kept.zip", "old");
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    std::vector<std::string> left;
    {
      OutputTransaction output(tmp.path());
      const path staged = output.NewFolder();
      orvtest::WriteFile(staged / "new.zip", "new");
      orvtest::WriteFile(staged / "kept.zip", "replacement");
      output.Place(staged / "new.zip", "new.zip", false);
      output.Place(staged / "kept.zip", "kept.zip", true);
      EXPECT_THROW(output.Place(staged / "missing", "new.zip", false), std::exception);
      EXPECT_EQ(orvtest::ReadFile(tmp.path() / "kept.zip"), "replacement");
      if (commit) {
        EXPECT_TRUE(output.Commit().empty());
      }
    }  // without Commit, going out of scope rolls back
    if (commit) {
      EXPECT_EQ(orvtest::ListTree(tmp.path()), (std::vector<std::string>{"kept.zip", "new.zip"}));
      EXPECT_EQ(orvtest::ReadFile(tmp.path() / "kept.zip"), "replacement");
    } else {
      EXPECT_EQ(orvtest::ListTree(tmp.path()), std::vector<std::string>{"kept.zip"});
      EXPECT_EQ(orvtest::ReadFile(tmp.path() / "kept.zip"), "old");
    }
  }
}

TEST(SplitCsvLine, FieldsQuotesAndBlanks) {
  struct Row {
    std::string line;
    std::vector<std::string> fields;  // empty with `error` set: rejected
    std::string error;
  };
  const Row rows[] = {
      {"a,b,c", {"a", "b", "c"}, ""},
      {"", {""}, ""},
      {"a,,", {"a", "", ""}, ""},
      {" a , b\t", {"a", "b"}, ""},
      {"\"a,b\",c", {"a,b", "c"}, ""},
      {"\" padded \",\"say \"\"hi\"\"\"", {" padded ", "say \"hi\""}, ""},
      {" \"q\" ,x", {"q", "x"}, ""},
      {"\"\",\"\"", {"", ""}, ""},
      {"\"open", {}, "a quoted field is not closed"},
      {"\"a\"b", {}, "text after a quoted field"},
      {"a\"b", {}, "a quote inside a field that does not start with one"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    std::vector<std::string> fields;
    std::string error;
    EXPECT_EQ(varnesk::stamp::SplitCsvLine(row.line, fields, error), row.error.empty());
    if (row.error.empty()) {
      EXPECT_EQ(fields, row.fields);
    } else {
      EXPECT_EQ(error, row.error);
    }
  }
}

}  // namespace
