// Extraction stays inside its folder whatever the archive holds, and a damaged payload
// is recognised before anything is touched.
#include <zlib.h>

#include <Poco/Delegate.h>

#include "ArchiveFixtures.h"
#include "RootedInstaller.h"
#include "TestSupport.h"
#include "installer/ClientExtractor.h"
#include "installer/mac/ClientInstaller.h"

namespace {

using orvtest::fs::path;

// Renames entries inside archive bytes (both headers), keeping every offset right.
void RenameEntry(std::vector<unsigned char>& zip, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  int renamed = 0;
  for (std::size_t i = 0; i + from.size() <= zip.size(); ++i) {
    if (std::equal(from.begin(), from.end(), zip.begin() + static_cast<long>(i))) {
      std::copy(to.begin(), to.end(), zip.begin() + static_cast<long>(i));
      ++renamed;
    }
  }
  ASSERT_GE(renamed, 2) << from;  // every name that starts with it, in both headers
}

class SafetyTest : public ::testing::Test {
 protected:
  SafetyTest() {
    installer.root = root.string();
    orvtest::fs::create_directories(root);
    orvtest::WriteFile(outside / "precious.txt", "keep me");
  }

  // Extracts `zip` and checks that nothing outside the root changed.
  varnesk::Status Extract(const std::vector<unsigned char>& zip) {
    orvtest::FilePayload payload(zip);
    const varnesk::Status status = installer.InstallInPlace(payload.view());
    EXPECT_EQ(orvtest::ListTree(outside), std::vector<std::string>{"precious.txt"});
    EXPECT_EQ(orvtest::ReadFile(outside / "precious.txt"), "keep me");
    return status;
  }

  std::vector<unsigned char> ZipOf(const std::vector<std::pair<std::string, std::string>>& files) {
    const path src = tmp.path() / ("src" + std::to_string(zips++));
    for (const auto& [name, text] : files) orvtest::WriteFile(src / name, text);
    const path zip = tmp.path() / ("a" + std::to_string(zips) + ".zip");
    orvtest::ZipFolder(src, "Orvalune Client.app", zip);
    return orvtest::ReadBytes(zip);
  }

  orvtest::TempDir tmp;
  path root = tmp.path() / "Desktop";
  path outside = tmp.path() / "outside";
  orvtest::LogCapture log;
  orvtest::SleepRecorder sleeps;
  orvtest::RootedInstaller installer;
  int zips = 0;
};

TEST_F(SafetyTest, InstalledBundleWithLinksToElsewhereIsReplacedWithoutWritingThroughThem) {
  const std::vector<unsigned char> zip = ZipOf({{"Orvalune Client.app/Contents/Info.plist", "plist"},
                                                {"Orvalune Client.app/Contents/precious.txt", "new"},
                                                {"Orvalune Client.app/top.txt", "top"}});
  // A folder of the installed bundle that is a link to somewhere else, and a file that is.
  orvtest::fs::create_directories(root / "Orvalune Client.app" / "Sub");
  orvtest::fs::create_directory_symlink(outside, root / "Orvalune Client.app" / "Contents");
  orvtest::fs::create_symlink(outside / "precious.txt", root / "Orvalune Client.app" / "Sub" / "top.txt");
  EXPECT_OK(Extract(zip));
  EXPECT_EQ(orvtest::ReadFile(root / "Orvalune Client.app" / "Contents" / "precious.txt"), "new");
  EXPECT_FALSE(orvtest::fs::is_symlink(root / "Orvalune Client.app" / "Contents"));
  EXPECT_EQ(orvtest::ListTree(root).front(), "Orvalune Client.app/");
}

TEST_F(SafetyTest, HostileNamesStayInside) {
  const std::string absolute = (outside / "precious.txt").string();
  // Entry names padded to the length of the name they are patched into.
  const std::string pad = "Orvalune Client.app/" + std::string(absolute.size() - 20, 'p');
  struct Row {
    const char* label;
    std::string from, to;
    const char* message;
  };
  const Row rows[] = {
      {"absolute file name", pad, absolute, "Could not put Client into place (A)"},
      {"parent folder in a file name", "Orvalune Client.app/xx/yy/zzzzzzz/precious.txt",
       "Orvalune Client.app/../../outside/precious.txt", "Could not put Client into place (A)"},
      {"backslashes", "Orvalune Client.app/xx/f", "Orvalune Client.app\\..\\f",
       "Could not put Client into place (A)"},
      {"a file beside the bundle", "Orvalune Client.app/zz.txt", "Desktop-file-outside00.txt",
       "Could not put Client into place (A)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::LogCapture rowLog;
    std::vector<unsigned char> zip = ZipOf({{row.from, "evil"}, {"Orvalune Client.app/ok.txt", "ok"}});
    RenameEntry(zip, row.from, row.to);
    EXPECT_FAILED(Extract(zip));
    EXPECT_EQ(rowLog.Texts(), std::vector<std::string>{row.message});
    EXPECT_TRUE(orvtest::ListTree(root).empty()) << "a failed extraction leaves nothing";
  }
}

TEST_F(SafetyTest, LinkEntriesBecomeLinksOnlyInsideTheBundle) {
  struct Row {
    const char* label;
    std::string target;
    bool accepted;
  };
  const Row rows[] = {
      {"within its folder", "A", true},
      {"up to the bundle's top", "../../Resources", true},
      {"through a folder and back", "B/../../Resources", true},
      {"absolute", (outside / "precious.txt").string(), false},
      {"climbing out of the bundle", "../../../outside/precious.txt", false},
      {"dipping out and back in", "../../../Orvalune Client.app/x", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::LogCapture rowLog;
    const path src = tmp.path() / ("links" + std::to_string(zips++));
    const path folder = src / "Orvalune Client.app" / "Contents" / "Versions";
    orvtest::fs::create_directories(folder);
    orvtest::fs::create_symlink(row.target, folder / "Current");
    orvtest::WriteFile(src / "Orvalune Client.app" / "Contents" / "Info.plist", "plist");
    const path zip = tmp.path() / ("links" + std::to_string(zips) + ".zip");
    orvtest::ZipFolder(src, "Orvalune Client.app", zip);
    const varnesk::Status status = Extract(orvtest::ReadBytes(zip));
    if (row.accepted) {
      EXPECT_OK(status);
      EXPECT_EQ(orvtest::fs::read_symlink(root / "Orvalune Client.app/Contents/Versions/Current"), row.target);
    } else {
      EXPECT_FAILED(status);
      EXPECT_EQ(rowLog.Texts(), std::vector<std::string>{"Could not put Client into place (A)"});
      EXPECT_TRUE(orvtest::ListTree(root).empty());
    }
    orvtest::fs::remove_all(root / "Orvalune Client.app");
  }
}

TEST_F(SafetyTest, FolderEntryWithParentMakesTheArchiveUnreadable) {
  std::vector<unsigned char> zip = ZipOf({{"Orvalune Client.app/aa/f", "x"}});
  RenameEntry(zip, "Orvalune Client.app/aa/", "Orvalune Client.app/../");
  EXPECT_FAILED(Extract(zip));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not put Client into place (B)"});
}

TEST_F(SafetyTest, LinkEntryThenEntriesBelowIt) {
  // The link entry comes out as a plain file, so nothing can be written below it.
  const path src = tmp.path() / "linksrc";
  orvtest::fs::create_directories(src / "Orvalune Client.app");
  orvtest::fs::create_directory_symlink(outside, src / "Orvalune Client.app" / "L");
  orvtest::WriteFile(src / "Orvalune Client.app" / "M" / "precious.txt", "evil");
  const path zipPath = tmp.path() / "links.zip";
  orvtest::ZipFolder(src, "Orvalune Client.app", zipPath);
  std::vector<unsigned char> zip = orvtest::ReadBytes(zipPath);
  RenameEntry(zip, "Orvalune Client.app/M/", "Orvalune Client.app/L/");
  EXPECT_FAILED(Extract(zip));
}

// Links that stood in the target folder before the extraction began: the extractor
// cannot know them and must look. Folders it made itself hold only its own links.
std::vector<std::string> g_extractorErrors;
void RecordExtractorError(const void*, std::pair<const Poco::Zip::ZipLocalFileHeader, const std::string>& args) {
  g_extractorErrors.push_back(args.second);
}

TEST_F(SafetyTest, ExtractorRefusesLinksAlreadyInItsFolder) {
  const path into = tmp.path() / "into";
  orvtest::fs::create_directories(into / "Orvalune Client.app");
  orvtest::fs::create_directory_symlink(outside, into / "Orvalune Client.app" / "L");
  orvtest::fs::create_symlink(outside / "precious.txt", into / "Orvalune Client.app" / "f");
  const std::vector<unsigned char> zip = ZipOf({{"Orvalune Client.app/L/x", "evil"},
                                                {"Orvalune Client.app/f", "evil"},
                                                {"Orvalune Client.app/N/g", "good"}});
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "read from a file" : "in place");
    orvtest::FilePayload payload(zip);
    const varnesk::PayloadView view = fromFile ? payload.fileView() : payload.view();
    varnesk::PayloadStream stream(view);
    varnesk::ClientExtractor extractor(stream, view, into.string(), "Orvalune Client.app/");
    g_extractorErrors.clear();
    extractor.EError += Poco::delegate(&RecordExtractorError);
    extractor.ExtractAll();
    extractor.EError -= Poco::delegate(&RecordExtractorError);
    std::sort(g_extractorErrors.begin(), g_extractorErrors.end());
    const std::string app = orvtest::fs::weakly_canonical(into).string() + "/Orvalune Client.app/";
    // The folder entry "L/" and the file below it both pass through the link.
    EXPECT_EQ(g_extractorErrors, (std::vector<std::string>{"Entry path is the link " + app + "f",
                                                           "Entry path passes through the link " + app + "L",
                                                           "Entry path passes through the link " + app + "L"}));
    EXPECT_EQ(orvtest::ReadFile(into / "Orvalune Client.app" / "N" / "g"), "good");
    EXPECT_EQ(orvtest::ListTree(outside), std::vector<std::string>{"precious.txt"});
    EXPECT_EQ(orvtest::ReadFile(outside / "precious.txt"), "keep me");
    orvtest::fs::remove_all(into / "Orvalune Client.app" / "N");
  }
}

TEST_F(SafetyTest, Zip64RecordsAreRefusedBeforeAnythingIsWritten) {
  std::vector<unsigned char> zip = ZipOf({{"Orvalune Client.app/f", "x"}});
  // A ZIP64 end record after the end record, claiming an absurd size.
  const unsigned char record[] = {0x50, 0x4b, 0x06, 0x06, 0x06, 0x06, 0x06, 0x06,
                                  0x06, 0x06, 0x06, 0x06, 0x2d, 0x00, 0x2d, 0x00};
  zip.insert(zip.end(), std::begin(record), std::end(record));
  EXPECT_FAILED(Extract(zip));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not put Client into place (B)"});
  EXPECT_FALSE(orvtest::fs::exists(root / "Orvalune Client.app"));
}

TEST(PayloadCheck, RecognisesTheRecordedArchiveOnly) {
  const orvtest::TempDir tmp;
  orvtest::WriteFile(tmp.path() / "src" / "Orvalune Client.app" / "f", std::string(3000, 'f'));
  orvtest::ZipFolder(tmp.path() / "src", "Orvalune Client.app", tmp.path() / "a.zip");
  const std::vector<unsigned char> good = orvtest::ReadBytes(tmp.path() / "a.zip");
  // Large enough to be checked in two halves on two threads.
  std::string noise(3 * 1024 * 1024, '\0');
  std::uint32_t state = 1;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  orvtest::WriteFile(tmp.path() / "big" / "Orvalune Client.app" / "f", noise);
  orvtest::ZipFolder(tmp.path() / "big", "Orvalune Client.app", tmp.path() / "b.zip");
  const std::vector<unsigned char> large = orvtest::ReadBytes(tmp.path() / "b.zip");
  std::vector<unsigned char> largeFlippedEarly = large;
  largeFlippedEarly[1000] ^= 0x80;
  std::vector<unsigned char> largeFlippedLate = large;
  largeFlippedLate[large.size() * 3 / 4] ^= 1;
  auto crcOf = [](const std::vector<unsigned char>& b) {
    return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
  };
  std::vector<unsigned char> flipped = good;
  flipped[100] ^= 1;
  std::vector<unsigned char> noEnd(good.begin(), good.end() - 22);
  std::vector<unsigned char> garbage(500, 'g');
  struct Row {
    const char* label;
    std::vector<unsigned char> bytes;
    std::uint64_t size;
    std::uint32_t crc;
    bool intact;
  };
  const Row rows[] = {
      {"as built", good, good.size(), crcOf(good), true},
      {"a byte flipped", flipped, good.size(), crcOf(good), false},
      {"cut short", noEnd, good.size(), crcOf(good), false},
      {"no archive, recorded as such", garbage, garbage.size(), crcOf(garbage), false},
      {"cut short, recorded as such", noEnd, noEnd.size(), crcOf(noEnd), false},
      {"large, as built", large, large.size(), crcOf(large), true},
      {"large, a byte flipped in its first half", largeFlippedEarly, large.size(), crcOf(large), false},
      {"large, a byte flipped in its second half", largeFlippedLate, large.size(), crcOf(large), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::FilePayload payload(row.bytes, 77);
    EXPECT_EQ(varnesk::IsIntactPayload(payload.view(), row.size, row.crc), row.intact);
  }
}

}  // namespace
