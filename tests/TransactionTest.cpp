// The installation transaction's parts: recovery of killed runs, verification of the
// staged bundle, the swap (with and without an exchange), the space check and the lock.
#include <sys/stat.h>

#include <functional>

#include "ArchiveFixtures.h"
#include "RootedInstaller.h"
#include "TestSupport.h"
#include "installer/InstallTransaction.h"

namespace {

using orvtest::fs::path;
using varnesk::StagedInstall;

const char* const kBundle = "Orvalune Client.app";

class TransactionTest : public ::testing::Test {
 protected:
  TransactionTest() {
    orvtest::fs::create_directories(root);
    orvtest::WriteFile(outside / "precious.txt", "keep me");
    installer.root = root.string();
  }

  // A small client archive: folders, files, a link.
  path MakeArchive() {
    const path src = tmp.path() / "src" / kBundle;
    orvtest::WriteFile(src / "Contents/MacOS/OrvaluneClient", std::string(3000, 'c'));
    orvtest::WriteFile(src / "Contents/Info.plist", "<plist/>");
    orvtest::fs::create_directories(src / "Contents/Versions/A");
    orvtest::fs::create_directory_symlink("A", src / "Contents/Versions/Current");
    orvtest::ZipFolder(tmp.path() / "src", kBundle, tmp.path() / "client.zip");
    return tmp.path() / "client.zip";
  }

  // Stages the test archive with its client made executable, as the repair would.
  path Stage() {
    EXPECT_OK(installer.InstallClientFilesFrom(payload.view()));
    const path staged = installer.staging().StagedBundle();
    orvtest::fs::permissions(staged / "Contents/MacOS/OrvaluneClient", orvtest::fs::perms(0755));
    return staged;
  }

  orvtest::TempDir tmp;
  path root = tmp.path() / "Desktop";
  path outside = tmp.path() / "outside";
  orvtest::LogCapture log;
  orvtest::SleepRecorder sleeps;
  orvtest::RootedInstaller installer;
  orvtest::FilePayload payload{MakeArchive()};
};

TEST_F(TransactionTest, RecoveryClearsWhatAKilledRunLeft) {
  struct Row {
    const char* label;
    std::function<void(const path& root, const path& outside)> left;
    std::vector<std::string> after;
  };
  auto bundle = [](const path& r, const char* marker) {
    orvtest::WriteFile(r / kBundle / "Contents" / marker, marker);
  };
  const Row rows[] = {
      {"staging folder beside the bundle",
       [&](const path& r, const path&) {
         bundle(r, "old");
         orvtest::WriteFile(r / ".Orvalune Client.app.installing-77/Orvalune Client.app/x", "half");
       },
       {"Orvalune Client.app/", "Orvalune Client.app/Contents/", "Orvalune Client.app/Contents/old"}},
      {"staging names that are links, or hold links, are removed as links",
       [&](const path& r, const path& o) {
         orvtest::fs::create_directory_symlink(o, r / ".Orvalune Client.app.installing-1");
         orvtest::fs::create_directories(r / ".Orvalune Client.app.installing-2");
         orvtest::fs::create_directory_symlink(o, r / ".Orvalune Client.app.installing-2/l");
       },
       {}},
      {"set aside, bundle gone: the previous bundle goes back",
       [&](const path& r, const path&) {
         orvtest::WriteFile(r / ".Orvalune Client.app.previous/Contents/old", "old");
       },
       {"Orvalune Client.app/", "Orvalune Client.app/Contents/", "Orvalune Client.app/Contents/old"}},
      {"set aside, new bundle in place: the swap was done",
       [&](const path& r, const path&) {
         bundle(r, "new");
         orvtest::WriteFile(r / ".Orvalune Client.app.previous/Contents/old", "old");
       },
       {"Orvalune Client.app/", "Orvalune Client.app/Contents/", "Orvalune Client.app/Contents/new"}},
      {"what is not ours stays",
       [&](const path& r, const path&) {
         orvtest::WriteFile(r / ".Orvalune Client.app.bak", "user's");
         orvtest::WriteFile(r / "notes.txt", "user's");
       },
       {".Orvalune Client.app.bak", "notes.txt"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::fs::remove_all(root);
    orvtest::fs::create_directories(root);
    row.left(root, outside);
    StagedInstall::Recover(root.string(), kBundle);
    EXPECT_EQ(orvtest::ListTree(root), row.after);
    EXPECT_EQ(orvtest::ListTree(outside), std::vector<std::string>{"precious.txt"});
  }
}

TEST_F(TransactionTest, VerificationFindsEveryDamage) {
  struct Row {
    const char* label;
    std::function<void(const path& staged)> damage;
  };
  const Row rows[] = {
      {"a file missing", [](const path& b) { orvtest::fs::remove(b / "Contents/Info.plist"); }},
      {"a file cut short", [](const path& b) { orvtest::WriteFile(b / "Contents/Info.plist", "<p"); }},
      {"a link that is a file",
       [](const path& b) {
         orvtest::fs::remove(b / "Contents/Versions/Current");
         orvtest::WriteFile(b / "Contents/Versions/Current", "A");
       }},
      {"a link to elsewhere",
       [](const path& b) {
         orvtest::fs::remove(b / "Contents/Versions/Current");
         orvtest::fs::create_directory_symlink("B", b / "Contents/Versions/Current");
       }},
      {"a folder that is a file",
       [](const path& b) {
         orvtest::fs::remove_all(b / "Contents/Versions/A");
         orvtest::WriteFile(b / "Contents/Versions/A", "");
       }},
      {"the client not executable",
       [](const path& b) {
         orvtest::fs::permissions(b / "Contents/MacOS/OrvaluneClient", orvtest::fs::perms(0644));
       }},
  };
  EXPECT_FALSE(installer.staging().Verify("Contents/MacOS/OrvaluneClient")) << "nothing staged";
  Stage();
  EXPECT_TRUE(installer.staging().Verify("Contents/MacOS/OrvaluneClient"));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const path staged = Stage();
    row.damage(staged);
    EXPECT_FALSE(installer.staging().Verify("Contents/MacOS/OrvaluneClient"));
  }
}

TEST_F(TransactionTest, SwapWithAndWithoutAnExchange) {
  struct Row {
    const char* label;
    StagedInstall::ExchangeFunction exchange;
    std::function<void(const path& root)> before;
    bool hadPrevious;
  };
  auto none = [](const std::string&, const std::string&) { return platform::kSwapUnsupported; };
  auto previous = [](const path& r) { orvtest::WriteFile(r / kBundle / "old-marker", "old"); };
  const Row rows[] = {
      {"exchange", platform::ExchangePaths, previous, true},
      {"set aside, then rename", none, previous, true},
      {"first install", platform::ExchangePaths, [](const path&) {}, false},
      {"bundle path is a dangling link",
       platform::ExchangePaths,
       [](const path& r) { orvtest::fs::create_symlink(r / "gone", r / kBundle); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::fs::remove_all(root);
    orvtest::fs::create_directories(root);
    row.before(root);
    Stage();
    ASSERT_TRUE(installer.staging().SwapIntoPlace(row.exchange));
    EXPECT_TRUE(orvtest::fs::exists(root / kBundle / "Contents/Info.plist"));
    EXPECT_FALSE(orvtest::fs::exists(root / kBundle / "old-marker"));
    EXPECT_TRUE(installer.staging().StagedBundle().empty());
    const path previousBundle = installer.staging().PreviousBundle();
    EXPECT_EQ(orvtest::fs::exists(orvtest::fs::symlink_status(previousBundle)), row.hadPrevious);
    EXPECT_OK(installer.OSRemovePreviousInstalls());
    installer.staging().Discard();
    std::vector<std::string> left;
    for (const auto& entry : orvtest::fs::directory_iterator(root)) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{kBundle}) << "no leftovers beside the bundle";
  }
}

TEST_F(TransactionTest, SpaceCheck) {
  std::vector<varnesk::zip::CentralEntry> entries(3);
  entries[0].name = "Orvalune Client.app/";
  entries[1].name = "Orvalune Client.app/f";
  entries[1].uncompressedSize = 1;
  entries[2].name = "Orvalune Client.app/l";
  entries[2].externalAttributes = 0120755u << 16;
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  EXPECT_TRUE(StagedInstall::EnoughSpace(root.string(), entries, needed, available));
  EXPECT_GE(needed, 2u);      // a block for the folder and one for the file
  EXPECT_LE(needed, 131072u);
  EXPECT_GT(available, needed);
  // Far more than any disk here holds: 4,000 files of nearly 4 GiB.
  entries.resize(4000, entries[1]);
  for (auto& e : entries) e.uncompressedSize = 0xFFFFFFF0u;
  EXPECT_FALSE(StagedInstall::EnoughSpace(root.string(), entries, needed, available));
  EXPECT_GT(needed, available);
}

TEST(InstallLock, OneInstallerAtATimePerUser) {
  orvtest::TempDir home;
  orvtest::ScopedEnv homeEnv("HOME", home.str().c_str());
  orvtest::ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  {
    varnesk::InstallLock first;
    ASSERT_OK(first.Acquire());
    varnesk::InstallLock second;
    EXPECT_FAILED(second.Acquire(std::chrono::milliseconds(100)));
  }
  varnesk::InstallLock later;
  EXPECT_OK(later.Acquire(std::chrono::milliseconds(0)));
  EXPECT_TRUE(orvtest::fs::exists(home.path() / ".cache" / varnesk::InstallLock::kFileName));

  // A lock file that is a link is never opened through it.
  orvtest::TempDir other;
  orvtest::ScopedEnv otherHome("HOME", other.str().c_str());
  orvtest::fs::create_directories(other.path() / ".cache");
  orvtest::fs::create_symlink(other.path() / "target",
                              other.path() / ".cache" / varnesk::InstallLock::kFileName);
  varnesk::InstallLock linked;
  EXPECT_OK(linked.Acquire(std::chrono::milliseconds(0)));
  EXPECT_FALSE(orvtest::fs::exists(other.path() / "target"));
}

}  // namespace
