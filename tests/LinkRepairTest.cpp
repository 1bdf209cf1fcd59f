#include <sys/stat.h>
#include <unistd.h>

#include "RootedInstaller.h"
#include "TestSupport.h"
#include "installer/mac/ClientInstaller.h"
#include "installer/mac/LinkTable.h"

namespace {

using orvtest::fs::path;

// Links of the bundle that the repair table does not name: extraction makes them.
const char* const kUnrepairedLinks[][2] = {
    {"Contents/Frameworks/QtMultimedia.framework/Versions/Current", "5"},
    {"Contents/Frameworks/QtMultimedia.framework/QtMultimedia", "Versions/Current/QtMultimedia"},
    {"Contents/Frameworks/QtOpenGL.framework/Resources", "Versions/Current/Resources"},
    {"Contents/Frameworks/QtPositioning.framework/Versions/Current", "5"},
};

mode_t ModeOf(const path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class LinkRepairTest : public ::testing::Test {
 protected:
  LinkRepairTest() {
    orvtest::fs::create_directories(home / "Desktop");
    // The repair runs on what the real extraction writes.
    EXPECT_OK(installer.InstallInPlace(varnesk::ClientInstallerBase::EmbeddedPayload()));
  }

  path Bundle() const { return home / "Desktop" / "Orvalune Client.app"; }

  void ExpectRepaired() {
    for (const varnesk::LinkRow& row : varnesk::kBundleLinks) {
      const path link = Bundle() / row.directory / row.linkName;
      SCOPED_TRACE(link.string());
      ASSERT_TRUE(orvtest::fs::is_symlink(link));
      EXPECT_EQ(orvtest::fs::read_symlink(link).string(), row.target);
      EXPECT_EQ(ModeOf(link), 0755u);  // the final target's mode
    }
    EXPECT_EQ(ModeOf(Bundle() / "Contents/MacOS/OrvaluneClient"), 0755u);
    for (const auto& [rel, target] : kUnrepairedLinks) {
      SCOPED_TRACE(rel);
      ASSERT_TRUE(orvtest::fs::is_symlink(Bundle() / rel));
      EXPECT_EQ(orvtest::fs::read_symlink(Bundle() / rel).string(), target);
    }
  }

  orvtest::TempDir tmp;
  path home = tmp.path() / "home";
  orvtest::ScopedEnv homeEnv{"HOME", home.c_str()};
  orvtest::ScopedCwd keepCwd;
  orvtest::LogCapture log;
  orvtest::RootedInstaller installer{(home / "Desktop").string()};
};

TEST_F(LinkRepairTest, RepairsAFreshBundle) {
  // Extraction made the links already; the repair makes them again and sets the modes.
  EXPECT_NE(ModeOf(Bundle() / "Contents/Frameworks/QtCore.framework/QtCore"), 0755u);
  EXPECT_OK(installer.OSPostInstallTasks());
  ExpectRepaired();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(orvtest::fs::current_path(), Bundle() / "Contents/Resources/qml/QtQuick.2");
}

TEST_F(LinkRepairTest, RepairIsRepeatable) {
  EXPECT_OK(installer.OSPostInstallTasks());
  EXPECT_OK(installer.OSPostInstallTasks());
  ExpectRepaired();
}

TEST_F(LinkRepairTest, MissingLinkFileStopsTheRepair) {
  orvtest::fs::remove(Bundle() / "Contents/Frameworks/QtGui.framework/QtGui");  // row 12
  EXPECT_FAILED(installer.OSPostInstallTasks());
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not unlink QtGui (error code -1)"});
  // Rows before it are done (their targets' modes set), the rows after it are not.
  EXPECT_EQ(ModeOf(Bundle() / "Contents/Frameworks/QtCore.framework/QtCore"), 0755u);
  EXPECT_NE(ModeOf(Bundle() / "Contents/Resources/qml/QtQuick.2/libqtquick2plugin.dylib"), 0755u);
}

TEST_F(LinkRepairTest, MissingFolderStopsTheRepair) {
  orvtest::fs::remove_all(Bundle() / "Contents/Resources/qml/QtQuick/Layouts");  // row 41
  EXPECT_FAILED(installer.OSPostInstallTasks());
  const std::string folder = (Bundle() / "Contents/Resources/qml/QtQuick/Layouts").string();
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not chdir " + folder + " (error code -1)"});
  EXPECT_EQ(orvtest::fs::current_path(), Bundle() / "Contents/Resources/qml/QtQuick/Dialogs/Private");
}

TEST_F(LinkRepairTest, MissingExecutableIsLoggedAndLinksStillRepaired) {
  const path exe = Bundle() / "Contents/MacOS/OrvaluneClient";
  orvtest::fs::remove(exe);
  EXPECT_OK(installer.OSPostInstallTasks());
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"Could not chmod " + exe.string() + " (error code -1)"});
  EXPECT_TRUE(orvtest::fs::is_symlink(Bundle() / "Contents/Resources/qml/QtQuick.2/libqtquick2plugin.dylib"));
}

}  // namespace
