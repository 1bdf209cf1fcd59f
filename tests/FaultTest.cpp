// Fault tests of the installation as a transaction, with the built installer in a
// fresh HOME each: killed at many moments, a full disk, two installers at once, another
// user's client; and the build's archive check against archives whose local headers
// and central directory disagree (the installer reads the local headers, so such an
// archive could unpack something the directory never names).
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include "ArchiveFixtures.h"
#include "ChildProcesses.h"
#include "InstallerRuns.h"
#include "RootedInstaller.h"
#include "TestSupport.h"
#include "installer/ZipLayout.h"

namespace {

using orvtest::fs::path;
namespace zip = varnesk::zip;

const char* const kName = "OrvaluneClient_V2A7F000001I00000001.app";
const char* const kOldMarker = "Contents/Resources/old-marker";

// What the archive holds, to judge a bundle on disk complete.
struct ArchiveListing {
  std::vector<zip::CentralEntry> entries;
  std::map<std::string, std::string> linkTargets;
  std::uint64_t blocksNeeded = 0;  // as the installer counts them, in 4 KiB blocks
};

const ArchiveListing& Listing() {
  static const ArchiveListing listing = [] {
    ArchiveListing l;
    const std::vector<unsigned char> bytes = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
    zip::EndRecord end;
    std::string error;
    if (!zip::FindEndRecord(bytes.data(), bytes.size(), 0, end) ||
        !zip::ReadCentralDirectory(bytes, end, l.entries, error)) {
      ADD_FAILURE() << "cannot read the client archive " << error;
    }
    for (const auto& e : l.entries) {
      if (e.IsSymlink()) zip::ReadStoredData(bytes, e, l.linkTargets[e.name]);
      if (e.IsDirectory()) l.blocksNeeded += 1;
      if (!e.IsDirectory() && !e.IsSymlink()) l.blocksNeeded += (e.uncompressedSize + 4095) / 4096;
    }
    return l;
  }();
  return listing;
}

enum class State { kMissing, kIncomplete, kOld, kNew };

const char* StateName(State s) {
  switch (s) {
    case State::kMissing: return "missing";
    case State::kIncomplete: return "incomplete";
    case State::kOld: return "complete old";
    case State::kNew: return "complete new";
  }
  return "?";
}

// Whether the bundle below `desktop` is a complete install, and which one (the previous
// install carries a marker file the archive does not have).
State BundleState(const path& desktop) {
  const path bundle = desktop / "Orvalune Client.app";
  struct stat st {};
  if (::lstat(bundle.c_str(), &st) != 0) return State::kMissing;
  for (const zip::CentralEntry& e : Listing().entries) {
    std::string rel = e.name;
    if (e.IsDirectory()) rel.pop_back();
    const path p = desktop / rel;
    if (::lstat(p.c_str(), &st) != 0) return State::kIncomplete;
    std::error_code ec;  // the bundle may be swapped while it is looked at
    if (e.IsDirectory() ? !S_ISDIR(st.st_mode)
        : e.IsSymlink()  ? !S_ISLNK(st.st_mode) || orvtest::fs::read_symlink(p, ec) != Listing().linkTargets.at(e.name)
                         : !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != e.uncompressedSize) {
      return State::kIncomplete;
    }
  }
  if (::stat((bundle / "Contents/MacOS/OrvaluneClient").c_str(), &st) != 0 || (st.st_mode & 0100) == 0) {
    return State::kIncomplete;
  }
  std::error_code ec;
  return orvtest::fs::exists(bundle / kOldMarker, ec) ? State::kOld : State::kNew;
}

class FaultTest : public orvtest::InstallerRuns {
 protected:
  void TearDown() override {
    InstallerRuns::TearDown();
    if (!m_mounted.empty()) ::umount2(m_mounted.c_str(), MNT_DETACH);
  }

  State Now() const { return BundleState(home / "Desktop"); }
  void MarkOld() { orvtest::WriteFile(Bundle() / kOldMarker, "old"); }

  // A tmpfs of `bytes` at `where`; false where this machine allows no mounts.
  bool MountTmpfs(const path& where, std::uint64_t bytes) {
    orvtest::fs::create_directories(where);
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    m_mounted = where.string();
    return true;
  }

 private:
  std::string m_mounted;
};

TEST_F(FaultTest, KilledAtAnyMomentLeavesTheOldOrTheNewInstallAndARerunCompletes) {
  orvtest::fs::create_directories(home / "Desktop");
  ASSERT_EQ(Install(kName), 1);

  // One run watched throughout: at no moment is the bundle anything but complete.
  Listing();
  MarkOld();
  std::atomic<bool> done{false};
  std::map<State, int> seen;
  std::thread watcher([&] {
    while (!done) ++seen[Now()];
  });
  EXPECT_EQ(Install(kName), 1);
  done = true;
  watcher.join();
  EXPECT_EQ(seen[State::kIncomplete] + seen[State::kMissing], 0)
      << "watched " << seen[State::kOld] << " old, " << seen[State::kNew] << " new";
  EXPECT_GT(seen[State::kOld], 0);
  EXPECT_GT(seen[State::kNew], 0);

  // Kills dense over the first half second, where the work is, then over the rest.
  std::vector<int> delaysMs;
  for (int i = 0; i < 36; ++i) delaysMs.push_back(i * 14);
  for (int i = 0; i < 16; ++i) delaysMs.push_back(500 + i * 320);
  std::map<State, int> afterKill;
  int finishedFirst = 0;
  for (const int delay : delaysMs) {
    SCOPED_TRACE("killed after " + std::to_string(delay) + " ms");
    MarkOld();
    const pid_t pid = Spawn(kName);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) ++finishedFirst;
    const State state = Now();
    ++afterKill[state];
    EXPECT_TRUE(state == State::kOld || state == State::kNew) << StateName(state);

    ASSERT_EQ(Install(kName), 1);
    EXPECT_EQ(Now(), State::kNew);
    EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"}) << "leftovers";
    OnlyClient();
  }
  std::printf("kills: %zu, complete old: %d, complete new: %d, anything else: %d, finished before the kill: %d\n",
              delaysMs.size(), afterKill[State::kOld], afterKill[State::kNew],
              afterKill[State::kIncomplete] + afterKill[State::kMissing], finishedFirst);
}

TEST_F(FaultTest, FullDiskLeavesThePreviousInstallAndItsClient) {
  // Room for one bundle and a half: the new one cannot be staged beside the old.
  const std::uint64_t oneBundle = Listing().blocksNeeded * 4096;
  if (!MountTmpfs(home / "Desktop", oneBundle + oneBundle / 2)) {
    GTEST_SKIP() << "no tmpfs can be mounted here; the file-size limit case covers the rest";
  }
  ASSERT_EQ(Install(kName), 1);
  MarkOld();
  orvtest::WriteFile(Bundle() / "kept-by-the-user", "mine");
  const pid_t running = OnlyClient().pid;

  EXPECT_EQ(Install(kName), 0);
  EXPECT_EQ(Now(), State::kOld);
  EXPECT_EQ(orvtest::ReadFile(Bundle() / "kept-by-the-user"), "mine");
  EXPECT_EQ(OnlyClient().pid, running) << "the running client was left alone";
  EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"});

  // What the failed run said, seen through the same step in this process.
  orvtest::LogCapture log;
  orvtest::RootedInstaller installer((home / "Desktop").string());
  EXPECT_FAILED(installer.InstallInPlace(varnesk::ClientInstallerBase::EmbeddedPayload()));
  ASSERT_EQ(log.Texts().size(), 2u);
  EXPECT_EQ(log.Texts()[0].rfind("Not enough free space for Client: " +
                                     std::to_string(oneBundle) + " bytes needed, ", 0),
            0u)
      << log.Texts()[0];
  EXPECT_EQ(log.Texts()[1], "Could not put Client into place (A)");
}

TEST_F(FaultTest, WriteFailureWhileStagingLeavesThePreviousInstallAndItsClient) {
  orvtest::fs::create_directories(home / "Desktop");
  ASSERT_EQ(Install(kName), 1);
  MarkOld();
  const pid_t running = OnlyClient().pid;
  // The space check passes, but no file may grow past 64 KiB: the client cannot be written.
  EXPECT_EQ(Install(kName, ORVALUNE_TEST_INSTALLER, "ulimit -f 64"), 0);
  EXPECT_EQ(Now(), State::kOld);
  EXPECT_EQ(OnlyClient().pid, running);
  EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"}) << "staging removed";
}

TEST_F(FaultTest, TwoInstallersAtOnceEndWithOneBundleAndTheLastOnesClient) {
  orvtest::fs::create_directories(home / "Desktop");
  const std::string names[] = {"OrvaluneClient_V2A7F000001I00000001.app",
                               "OrvaluneClient_V2A7F000002I00000002.app"};
  const std::vector<std::string> args[] = {{"-ip", "127.0.0.1", "-port", "53100", "-identifyid", "1"},
                                           {"-ip", "127.0.0.2", "-port", "53100", "-identifyid", "2"}};
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    pid_t pids[2] = {Spawn(names[0]), Spawn(names[1])};
    int statuses[2] = {-1, -1};
    int last = -1;
    for (int left = 2; left > 0;) {
      for (int i = 0; i < 2; ++i) {
        if (statuses[i] == -1 && ::waitpid(pids[i], &statuses[i], WNOHANG) == pids[i]) {
          last = i;
          --left;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(WEXITSTATUS(statuses[0]), 1);
    EXPECT_EQ(WEXITSTATUS(statuses[1]), 1);
    EXPECT_EQ(Now(), State::kNew);
    EXPECT_EQ(DesktopNames(), std::vector<std::string>{"Orvalune Client.app"});
    EXPECT_EQ(OnlyClient().args, args[last]) << "the client of the installer that finished last";
  }
}

TEST_F(FaultTest, AnotherUsersClientIsLeftRunning) {
  orvtest::ScratchUser other;
  if (!other.ok()) GTEST_SKIP() << "no scratch user can be added here (needs root and useradd)";
  orvtest::ChildProcesses children;
  const path theirs = tmp.path() / "theirs" / "OrvaluneClient";
  orvtest::fs::create_directories(theirs.parent_path());
  orvtest::fs::copy_file(ORVALUNE_TEST_CLIENT, theirs);
  orvtest::fs::permissions(tmp.path(), orvtest::fs::perms(0755));
  orvtest::fs::permissions(theirs.parent_path(), orvtest::fs::perms(0755));
  const pid_t theirPid = children.StartAs(other.uid(), other.gid(), theirs);

  orvtest::fs::create_directories(home / "Desktop");
  ASSERT_EQ(Install(kName), 1);
  EXPECT_EQ(Now(), State::kNew);
  EXPECT_EQ(OnlyClient().args, (std::vector<std::string>{"-ip", "127.0.0.1", "-port", "53100",
                                                         "-identifyid", "1"}));
  EXPECT_EQ(::kill(theirPid, 0), 0) << "the other user's client still runs";
  children.KillAll();
}

void Put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

zip::EndRecord EndOf(const std::vector<unsigned char>& b) {
  zip::EndRecord end;
  EXPECT_TRUE(zip::FindEndRecord(b.data(), b.size(), 0, end));
  return end;
}

// Inserts `count` bytes at `at`, moving every offset the records hold past it.
void InsertBytes(std::vector<unsigned char>& b, std::size_t at, std::size_t count) {
  const zip::EndRecord end = EndOf(b);
  std::size_t pos = end.centralDirectoryOffset;
  for (unsigned i = 0; i < end.totalEntries; ++i) {
    const std::uint32_t local = zip::Le32(&b[pos + 42]);
    if (local >= at) Put32(b, pos + 42, local + static_cast<std::uint32_t>(count));
    pos += 46 + zip::Le16(&b[pos + 28]) + zip::Le16(&b[pos + 30]) + zip::Le16(&b[pos + 32]);
  }
  if (end.centralDirectoryOffset >= at) {
    Put32(b, static_cast<std::size_t>(end.offset) + 16, end.centralDirectoryOffset + static_cast<std::uint32_t>(count));
  }
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), count, 0x5a);
}

// Offset of the local header of entry `index` in central-directory order.
std::size_t LocalHeaderOf(const std::vector<unsigned char>& b, std::size_t index) {
  std::vector<zip::CentralEntry> entries;
  std::string error;
  EXPECT_TRUE(zip::ReadCentralDirectory(b, EndOf(b), entries, error)) << error;
  return entries.at(index).localHeaderOffset;
}

struct Output {
  int status;
  std::string err;
};

Output Check(const orvtest::TempDir& tmp, const std::vector<unsigned char>& bytes,
             const std::string& options = "") {
  const path archive = tmp.path() / "client.zip";
  orvtest::WriteFile(archive, std::string(bytes.begin(), bytes.end()));
  const path err = tmp.path() / "stderr";
  const int status = orvtest::Shell(std::string(ORVALUNE_TEST_CHECK_ARCHIVE) + " " + options + " " +
                                    orvtest::Quote(archive.string()) + " 2>" + orvtest::Quote(err.string()));
  return {status, orvtest::ReadFile(err)};
}

TEST(ArchiveCheck, RefusesArchivesThatReadDifferentlyFrontToBack) {
  const std::vector<unsigned char> good = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
  struct Row {
    const char* label;
    std::function<void(std::vector<unsigned char>&)> change;
    std::string message;
  };
  const Row rows[] = {
      {"a local header names a file beside the bundle",
       [](std::vector<unsigned char>& b) {
         const std::size_t at = LocalHeaderOf(b, 3);
         b[at + 30] = 'X';  // "Orvalune..." becomes "Xrvalune...": outside the top folder
       },
       "local header names \"Xrvalune"},
      {"another method in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 8] = 12; },
       "local header gives method 12"},
      {"other flags in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 6] |= 0x02; },
       "flags differ"},
      {"another CRC in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 14] ^= 0xFF; },
       "CRC or sizes differ"},
      {"bytes before the first entry", [](std::vector<unsigned char>& b) { InsertBytes(b, 0, 64); },
       "bytes before its local header"},
      {"bytes between two entries",
       [](std::vector<unsigned char>& b) { InsertBytes(b, LocalHeaderOf(b, 5), 30); },
       "bytes before its local header"},
      {"bytes before the central directory",
       [](std::vector<unsigned char>& b) { InsertBytes(b, EndOf(b).centralDirectoryOffset, 8); },
       "bytes between the last entry and the central directory"},
      {"a ZIP64 end record before the end record",
       [](std::vector<unsigned char>& b) {
         std::vector<unsigned char> record(56, 0);
         Put32(record, 0, zip::kZip64EndRecordSignature);
         b.insert(b.begin() + static_cast<std::ptrdiff_t>(EndOf(b).offset), record.begin(), record.end());
       },
       "a ZIP64 record?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::TempDir tmp;
    std::vector<unsigned char> bytes = good;
    row.change(bytes);
    const Output result = Check(tmp, bytes);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
  }
}

TEST(ArchiveCheck, UnpackedSizeLimit) {
  orvtest::TempDir tmp;
  const std::vector<unsigned char> good = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
  EXPECT_EQ(Check(tmp, good, "--max-unpacked 2147483648").status, 0);
  const Output result = Check(tmp, good, "--max-unpacked 1000");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("above the limit of 1000"), std::string::npos) << result.err;
}

TEST(ArchiveCheck, AcceptsDataDescriptors) {
  // bsdtar writes the CRC and sizes of deflated entries after their data.
  orvtest::TempDir tmp;
  const std::string bundle = std::string(ORVALUNE_TEST_MAKE_BUNDLE) + " " + ORVALUNE_TEST_CLIENT + " " +
                             orvtest::Quote(tmp.str()) + " " + orvtest::Quote((tmp.path() / "a.zip").string());
  ASSERT_EQ(orvtest::Shell(bundle), 0);
  const path archive = tmp.path() / "descriptors.zip";
  ASSERT_EQ(orvtest::Shell("cd " + orvtest::Quote(tmp.str()) + " && bsdtar -cf " +
                           orvtest::Quote(archive.string()) + " --format zip 'Orvalune Client.app'"),
            0);
  std::vector<unsigned char> bytes = orvtest::ReadBytes(archive);
  std::vector<zip::CentralEntry> entries;
  std::string error;
  ASSERT_TRUE(zip::ReadCentralDirectory(bytes, EndOf(bytes), entries, error)) << error;
  int described = 0;
  for (const auto& e : entries) described += (e.flags & 0x08) != 0 ? 1 : 0;
  ASSERT_GT(described, 0) << "bsdtar wrote no data descriptors";
  const Output result = Check(tmp, bytes);
  EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
