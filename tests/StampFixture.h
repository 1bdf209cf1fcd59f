#pragma once
// Runs orvalune-stamp as an administrator would, in a temporary tree of its own.
#include <map>
#include <string>

#include "TestSupport.h"

namespace orvtest {

/// Every entry below `root` (not following links) with what must survive a copy:
/// kind, mode, and the bytes of a file or the target of a link.
std::map<std::string, std::string> Snapshot(const fs::path& root);

/// The names in a zip, as `unzip -Z1` lists them, sorted.
std::vector<std::string> ZipNames(const fs::path& archive);

class StampFixture : public ::testing::Test {
 protected:
  StampFixture() { fs::create_directories(out); }

  /// Runs the tool with `args`; `env` assignments (such as PATH=...) go before it.
  ToolOutput Stamp(const std::string& args, const std::string& env = "") {
    return RunTool(tmp, env + " " + Quote(ORVALUNE_TEST_STAMP) + " " + args);
  }
  /// " --out OUT", for appending.
  std::string Out() const { return " --out " + Quote(out.string()); }
  /// Writes `text` as tmp/batch.csv and returns " --batch PATH".
  std::string Batch(const std::string& text) {
    WriteFile(tmp.path() / "batch.csv", text);
    return " --batch " + Quote((tmp.path() / "batch.csv").string());
  }

  TempDir tmp;
  fs::path out = tmp.path() / "out";
  ScopedEnv home{"HOME", tmp.str().c_str()};
};

}  // namespace orvtest
