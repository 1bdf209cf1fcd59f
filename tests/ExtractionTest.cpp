#include <fcntl.h>
#include <zlib.h>

#include "ArchiveFixtures.h"
#include "RootedInstaller.h"
#include "ClientPayloadInfo.h"
#include "TestSupport.h"
#include "installer/ZipLayout.h"
#include "installer/mac/ClientInstaller.h"

namespace {

using orvtest::fs::path;

class ExtractionTest : public ::testing::Test {
 protected:
  ExtractionTest() {
    installer.root = (tmp.path() / "Desktop").string();
    // A small bundle: folders, a stored and a deflated file, a link.
    const path bundle = tmp.path() / "src" / "Orvalune Client.app";
    orvtest::WriteFile(bundle / "Contents" / "Info.plist", "<plist/>");
    orvtest::WriteFile(bundle / "Contents" / "MacOS" / "OrvaluneClient", std::string(5000, 'x'));
    orvtest::WriteFile(bundle / "Contents" / "Resources" / "note.txt", "stored text");
    orvtest::fs::create_directories(bundle / "Contents" / "Frameworks" / "F.framework" / "Versions" / "A");
    orvtest::fs::create_directory_symlink("A", bundle / "Contents" / "Frameworks" / "F.framework" / "Versions" / "Current");
    orvtest::ZipFolder(tmp.path() / "src", "Orvalune Client.app", archive, "-qry -n .txt");
  }

  path Installed(const std::string& rel) const {
    return path(installer.root) / "Orvalune Client.app" / rel;
  }

  orvtest::TempDir tmp;
  orvtest::LogCapture log;
  orvtest::SleepRecorder sleeps;
  path archive = tmp.path() / "client.zip";
  orvtest::RootedInstaller installer;
};

TEST_F(ExtractionTest, UnpacksIntoAnExistingRootWithoutWaiting) {
  orvtest::fs::create_directories(installer.root);
  for (std::size_t sliceSize : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    SCOPED_TRACE(sliceSize);
    orvtest::FilePayload payload(archive, sliceSize);
    EXPECT_OK(installer.InstallInPlace(payload.view()));
    EXPECT_EQ(orvtest::ReadFile(Installed("Contents/MacOS/OrvaluneClient")), std::string(5000, 'x'));
    EXPECT_EQ(orvtest::ReadFile(Installed("Contents/Resources/note.txt")), "stored text");
  }
  EXPECT_TRUE(sleeps.sleeps().empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ExtractionTest, LinkEntryBecomesALinkWithItsTarget) {
  orvtest::FilePayload payload(archive);
  EXPECT_OK(installer.InstallInPlace(payload.view()));
  const path link = Installed("Contents/Frameworks/F.framework/Versions/Current");
  EXPECT_TRUE(orvtest::fs::is_symlink(link));
  EXPECT_EQ(orvtest::fs::read_symlink(link), "A");
}

TEST_F(ExtractionTest, StagesBesideTheInstalledBundleUntilItIsComplete) {
  orvtest::WriteFile(Installed("Contents/Resources/note.txt"), "a longer text left by an earlier run");
  orvtest::WriteFile(Installed("Contents/Resources/extra.txt"), "not in the archive");
  orvtest::FilePayload payload(archive);
  ASSERT_OK(installer.InstallClientFilesFrom(payload.view()));
  // Unpacked into a hidden staging folder; the installed bundle is untouched so far.
  const path staged = installer.staging().StagedBundle();
  EXPECT_EQ(staged.parent_path().parent_path(), path(installer.root));
  EXPECT_EQ(staged.parent_path().filename().string().rfind(".Orvalune Client.app.installing-", 0), 0u);
  EXPECT_EQ(orvtest::ReadFile(staged / "Contents/Resources/note.txt"), "stored text");
  EXPECT_EQ(orvtest::ReadFile(Installed("Contents/Resources/extra.txt")), "not in the archive");

  installer.staging().Discard();
  EXPECT_FALSE(orvtest::fs::exists(staged.parent_path()));
  EXPECT_OK(installer.InstallInPlace(payload.view()));
  EXPECT_EQ(orvtest::ReadFile(Installed("Contents/Resources/note.txt")), "stored text");
  EXPECT_FALSE(orvtest::fs::exists(Installed("Contents/Resources/extra.txt")));
  EXPECT_EQ(orvtest::ListTree(installer.root).front(), "Orvalune Client.app/");
}

TEST_F(ExtractionTest, FilesWhoseLastMatchCrossesABufferBoundaryStayWhole) {
  // 262,244 bytes of one letter: the deflate stream's last match ends past 256 KiB of
  // output, where a streaming inflater that stops on a full buffer lost the end.
  const path src = tmp.path() / "long";
  const std::string text(262244, 'a');
  orvtest::WriteFile(src / "Orvalune Client.app" / "Contents" / "long.txt", text);
  orvtest::WriteFile(src / "Orvalune Client.app" / "Contents" / "huge.txt", std::string(9 << 20, 'b'));
  const path zip = tmp.path() / "long.zip";
  orvtest::ZipFolder(src, "Orvalune Client.app", zip);
  orvtest::FilePayload payload(zip);
  EXPECT_OK(installer.InstallInPlace(payload.view()));
  EXPECT_EQ(orvtest::ReadFile(Installed("Contents/long.txt")), text);
  EXPECT_EQ(orvtest::fs::file_size(Installed("Contents/huge.txt")), std::uintmax_t{9} << 20);
}

TEST_F(ExtractionTest, RootThatAppearsDuringTheWait) {
  // A file where the root's parent should be makes creation fail until it goes.
  const path blocker = tmp.path() / "blocker";
  orvtest::WriteFile(blocker, "x");
  installer.root = (blocker / "Desktop").string();
  sleeps.OnSleep([&] {
    if (sleeps.sleeps().size() == 2) orvtest::fs::remove(blocker);
  });
  orvtest::FilePayload payload(archive);
  EXPECT_OK(installer.InstallInPlace(payload.view()));
  EXPECT_EQ(sleeps.sleeps(), (std::vector<unsigned>{1, 1, 1}));
  EXPECT_TRUE(orvtest::fs::exists(Installed("Contents/Info.plist")));
}

TEST_F(ExtractionTest, RootThatCanNeverBeCreated) {
  orvtest::WriteFile(tmp.path() / "blocker", "x");
  installer.root = (tmp.path() / "blocker" / "Desktop").string();
  orvtest::FilePayload payload(archive);
  EXPECT_FAILED(installer.InstallInPlace(payload.view()));
  EXPECT_EQ(sleeps.sleeps(), std::vector<unsigned>(10, 1));
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not put Client into place (B)"});
}

TEST_F(ExtractionTest, CrcMismatchFailsAndLeavesNothing) {
  std::vector<unsigned char> bytes = orvtest::ReadBytes(archive);
  bytes[orvtest::StoredDataOffset(bytes, "Orvalune Client.app/Contents/Resources/note.txt")] ^= 0x20;
  orvtest::FilePayload payload(bytes);
  EXPECT_FAILED(installer.InstallInPlace(payload.view()));
  EXPECT_TRUE(orvtest::ListTree(installer.root).empty());
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not put Client into place (A)"});
  EXPECT_EQ(log.lines()[0].type, platform::LogType::kError);
}

TEST_F(ExtractionTest, SecondCallCountsOnlyItsOwnErrors) {
  std::vector<unsigned char> bad = orvtest::ReadBytes(archive);
  bad[orvtest::StoredDataOffset(bad, "Orvalune Client.app/Contents/Resources/note.txt")] ^= 0x20;
  orvtest::FilePayload badPayload(bad);
  orvtest::FilePayload goodPayload(archive);
  EXPECT_FAILED(installer.InstallInPlace(badPayload.view()));
  EXPECT_OK(installer.InstallInPlace(goodPayload.view()));
}

TEST_F(ExtractionTest, UnreadableArchives) {
  const std::vector<unsigned char> good = orvtest::ReadBytes(archive);
  struct Row {
    const char* label;
    std::vector<unsigned char> bytes;
    const char* message;
  };
  std::vector<unsigned char> garbage(4000, 0x41);
  std::vector<unsigned char> truncated(good.begin(), good.begin() + good.size() * 2 / 3);
  std::vector<unsigned char> noDirectory(
      good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() - 22));
  const Row rows[] = {
      {"not an archive", garbage, "Could not put Client into place (B)"},
      {"cut off in the middle", truncated, "Could not put Client into place (A)"},
      {"end record missing", noDirectory, "Could not put Client into place (A)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::FilePayload payload(row.bytes);
    for (const bool fromFile : {false, true}) {
      SCOPED_TRACE(fromFile ? "read from the file" : "read in place");
      orvtest::LogCapture rowLog;
      EXPECT_FAILED(installer.InstallInPlace(fromFile ? payload.fileView() : payload.view()));
      EXPECT_EQ(rowLog.Texts(), std::vector<std::string>{row.message});
      EXPECT_TRUE(orvtest::ListTree(installer.root).empty());
    }
  }
}

TEST_F(ExtractionTest, ReadFromItsFileTheArchiveUnpacksTheSame) {
  orvtest::FilePayload payload(archive, 333);
  ASSERT_OK(installer.InstallInPlace(payload.fileView()));
  const auto fromFile = orvtest::ListTree(installer.root);
  orvtest::fs::remove_all(installer.root);
  ASSERT_OK(installer.InstallInPlace(payload.view()));
  EXPECT_EQ(orvtest::ListTree(installer.root), fromFile);
  EXPECT_EQ(orvtest::ReadFile(Installed("Contents/MacOS/OrvaluneClient")), std::string(5000, 'x'));
}

TEST(PayloadStream, ReadsTheSameInPlaceAndFromTheFile) {
  std::vector<unsigned char> bytes(40000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
  orvtest::FilePayload payload(bytes, 4099);
  struct Step {
    long long seek;  // -1: read on from where the last read ended
    std::size_t read;
  };
  // Headers read one after another, seeks inside and outside what was read last,
  // reads across its end, reads larger than it, and reads at the very end.
  const Step steps[] = {{0, 30},     {-1, 8200}, {-1, 5},    {100, 20000}, {20090, 4}, {20080, 30},
                        {39990, 20}, {40000, 1}, {-1, 0},    {5, 16384},   {-1, 3},    {8191, 2}};
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "read from the file" : "read in place");
    varnesk::PayloadStream stream(fromFile ? payload.fileView() : payload.view());
    std::size_t pos = 0;
    for (const Step& step : steps) {
      SCOPED_TRACE(std::to_string(step.seek) + " " + std::to_string(step.read));
      if (step.seek >= 0) {
        stream.clear();
        stream.seekg(step.seek);
        pos = static_cast<std::size_t>(step.seek);
      }
      std::vector<unsigned char> got(step.read);
      stream.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
      const std::size_t expected = std::min(step.read, bytes.size() - pos);
      ASSERT_EQ(static_cast<std::size_t>(stream.gcount()), expected);
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(expected),
                             bytes.begin() + static_cast<std::ptrdiff_t>(pos)));
      pos += expected;
      stream.clear();
      EXPECT_EQ(static_cast<std::size_t>(stream.tellg()), pos);
    }
    stream.seekg(40001);
    EXPECT_TRUE(stream.fail());
  }
}

TEST(EmbeddedPayload, IsReadFromTheProgramFileWithTheSameBytes) {
  const varnesk::PayloadView payload = varnesk::ClientInstallerBase::EmbeddedPayload();
  ASSERT_TRUE(payload.FromFile()) << "this system tells where the program's data lies in its file";
  EXPECT_NE(::fcntl(payload.fd, F_GETFD) & FD_CLOEXEC, 0) << "the client must not inherit it";
  std::vector<unsigned char> bytes(static_cast<std::size_t>(payload.Size()));
  ASSERT_TRUE(varnesk::CopyFromPayload(payload, 0, bytes.data(), bytes.size()));
  EXPECT_TRUE(bytes == orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE));
  EXPECT_FALSE(varnesk::CopyFromPayload(payload, 1, bytes.data(), bytes.size()));
  EXPECT_TRUE(varnesk::IsIntactPayload(payload, varnesk::kPayloadSize, varnesk::kPayloadCrc32));
  EXPECT_FALSE(varnesk::ClientInstallerBase::EmbeddedPayloadInMemory().FromFile());
}

TEST(EmbeddedPayload, JoinsToTheBuiltArchive) {
  const varnesk::PayloadView payload = varnesk::ClientInstallerBase::EmbeddedPayload();
  ASSERT_EQ(payload.count, 4u);
  EXPECT_EQ(payload.Size(), varnesk::kPayloadSize);
  EXPECT_GE(payload.slices[0].length, payload.slices[3].length);
  EXPECT_EQ(payload.slices[0].length % 64, 0);
  std::vector<unsigned char> joined;
  for (std::size_t i = 0; i < payload.count; ++i) {
    if (i < 3) {
      EXPECT_EQ(payload.slices[i].length, payload.slices[0].length);
    }
    joined.insert(joined.end(), payload.slices[i].bytes,
                  payload.slices[i].bytes + payload.slices[i].length);
  }
  // The assembler would silently cut an include that runs past the file's end.
  EXPECT_EQ(static_cast<std::uint32_t>(crc32(0, joined.data(), static_cast<uInt>(joined.size()))),
            varnesk::kPayloadCrc32);
  EXPECT_EQ(joined, orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE));
  ASSERT_GE(joined.size(), 22u);
  EXPECT_EQ(std::vector<unsigned char>(joined.begin(), joined.begin() + 4),
            (std::vector<unsigned char>{0x50, 0x4B, 0x03, 0x04}));

  varnesk::zip::EndRecord end;
  ASSERT_TRUE(varnesk::zip::FindEndRecord(joined.data(), joined.size(), 0, end));
  EXPECT_EQ(end.offset, joined.size() - 22);
  std::vector<varnesk::zip::CentralEntry> entries;
  std::string error;
  ASSERT_TRUE(varnesk::zip::ReadCentralDirectory(joined, end, entries, error)) << error;
  EXPECT_EQ(entries.size(), end.totalEntries);
  int links = 0;
  for (const auto& e : entries) links += e.IsSymlink() ? 1 : 0;
  EXPECT_EQ(links, 56);
}

}  // namespace
