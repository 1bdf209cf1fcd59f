#include "tools/stamp_writer.h"

#include <stdlib.h>
#include <unistd.h>  // mkdtemp on macOS

#include <fstream>

#include "installer/Version.h"
#include "tools/stamp_options.h"

namespace varnesk {
namespace stamp {
namespace {

constexpr fs::perms kExecutableMode = static_cast<fs::perms>(0755);
constexpr fs::perms kFileMode = static_cast<fs::perms>(0644);
const char kInstallerInBundle[] = "Contents/MacOS/OrvaluneInstaller";

std::string InfoPlist() {
  return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>com.orvalune.installer</string>
	<key>CFBundleExecutable</key><string>OrvaluneInstaller</string>
	<key>CFBundleName</key><string>Orvalune Installer</string>
	<key>CFBundlePackageType</key><string>APPL</string>
	<key>CFBundleShortVersionString</key><string>)") +
         orvalune::ORVALUNE_CLIENT_VERSION + R"(</string>
	<key>LSUIElement</key><true/>
</dict>
</plist>
)";
}

// Copies one entry of a template and everything below it. A folder gets its mode after
// its content is in, so a read-only folder of the template can still be filled.
void CopyEntry(const fs::path& from, const fs::path& to) {
  const fs::file_status status = fs::symlink_status(from);
  if (fs::is_symlink(status)) {
    fs::create_symlink(fs::read_symlink(from), to);
    return;
  }
  if (fs::is_directory(status)) {
    fs::create_directory(to);
    for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
      CopyEntry(entry.path(), to / entry.path().filename());
    }
  } else {
    fs::copy_file(from, to);
  }
  fs::permissions(to, status.permissions() & fs::perms::mask);
  fs::last_write_time(to, fs::last_write_time(from));
}

std::string Describe(const fs::file_type type) {
  switch (type) {
    case fs::file_type::block: return "a block device";
    case fs::file_type::character: return "a character device";
    case fs::file_type::fifo: return "a named pipe";
    case fs::file_type::socket: return "a socket";
    default: return "neither a folder, a file nor a symbolic link";
  }
}

// remove_all, after opening up folders that a template made read-only: without write
// permission on a folder its entries cannot be deleted.
void RemoveTreeNoThrow(const fs::path& root, std::error_code& ec) {
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  std::error_code ignored;
  if (fs::is_directory(fs::symlink_status(root, ignored))) {
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(root, ec);
}

}  // namespace

BundleSource BundleSource::Installer(const std::string& given) {
  std::error_code ec;
  // The macOS build leaves an installer bundle: its executable is the installer.
  const std::string path =
      fs::is_directory(given, ec) ? (fs::path(given) / kInstallerInBundle).string() : given;
  if (!fs::is_regular_file(path, ec)) {
    throw UsageError{"installer " + path + " not found (build it, or give --installer)"};
  }
  BundleSource source;
  source.m_executable = path;
  return source;
}

BundleSource BundleSource::Template(const std::string& path) {
  const std::string where = "--from " + path + ": ";
  std::error_code ec;
  if (!fs::is_directory(path, ec)) throw UsageError{where + "not a folder"};
  BundleSource source;
  source.m_template = fs::canonical(path, ec);
  source.m_executable = source.m_template / kInstallerInBundle;
  const fs::file_status installer = fs::symlink_status(source.m_executable, ec);
  if (!fs::exists(installer)) throw UsageError{where + "holds no " + kInstallerInBundle};
  if (!fs::is_regular_file(installer)) {
    throw UsageError{where + kInstallerInBundle + " is not a plain file"};
  }
  if ((installer.permissions() & fs::perms::owner_exec) == fs::perms::none) {
    throw UsageError{where + kInstallerInBundle + " is not executable"};
  }
  // Everything is looked at now, so that a template that cannot be copied whole stops
  // the run before anything is written.
  try {
    for (auto it = fs::recursive_directory_iterator(source.m_template);
         it != fs::recursive_directory_iterator(); ++it) {
      const fs::file_type type = it->symlink_status().type();
      if (type != fs::file_type::directory && type != fs::file_type::regular &&
          type != fs::file_type::symlink) {
        throw UsageError{where + it->path().lexically_relative(source.m_template).string() +
                         " is " + Describe(type)};
      }
      if (type == fs::file_type::regular && !std::ifstream(it->path(), std::ios::binary)) {
        throw UsageError{where + it->path().lexically_relative(source.m_template).string() +
                         " cannot be read"};
      }
    }
  } catch (const fs::filesystem_error& e) {
    throw UsageError{where + "cannot be read: " + e.code().message() + " (" + e.path1().string() + ")"};
  }
  return source;
}

void BundleSource::Write(const fs::path& bundle) const {
  if (!m_template.empty()) {
    CopyEntry(m_template, bundle);
    return;
  }
  const fs::path macos = bundle / "Contents" / "MacOS";
  fs::create_directories(macos);
  for (const fs::path& folder : {bundle, bundle / "Contents", macos}) {
    fs::permissions(folder, kExecutableMode);
  }
  fs::copy_file(m_executable, macos / "OrvaluneInstaller");
  fs::permissions(macos / "OrvaluneInstaller", kExecutableMode);
  const fs::path plistPath = bundle / "Contents" / "Info.plist";
  std::ofstream plist(plistPath, std::ios::binary);
  plist << InfoPlist();
  plist.close();
  if (!plist) {
    throw fs::filesystem_error("cannot write", plistPath, std::make_error_code(std::errc::io_error));
  }
  fs::permissions(plistPath, kFileMode);
}

OutputTransaction::OutputTransaction(const fs::path& out) : m_out(out) {
  std::string pattern = (out / ".orvalune-stamp-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw fs::filesystem_error("cannot make a work folder", pattern,
                               std::error_code(errno, std::generic_category()));
  }
  m_work = pattern;
}

OutputTransaction::~OutputTransaction() {
  if (!m_finished) Rollback();
}

fs::path OutputTransaction::NewFolder() {
  const fs::path folder = m_work / std::to_string(++m_folders);
  fs::create_directory(folder);
  return folder;
}

void OutputTransaction::Place(const fs::path& staged, const std::string& name, bool replace) {
  const fs::path target = m_out / name;
  if (fs::exists(fs::symlink_status(target))) {
    if (!replace) {
      throw fs::filesystem_error("appeared while the run was writing", target,
                                 std::make_error_code(std::errc::file_exists));
    }
    const fs::path aside = NewFolder() / "replaced";
    fs::rename(target, aside);
    m_movedAside.emplace_back(target, aside);
  }
  fs::rename(staged, target);
  m_placed.push_back(target);
}

void RemoveTree(const fs::path& root) {
  std::error_code ec;
  RemoveTreeNoThrow(root, ec);
  if (ec) throw fs::filesystem_error("cannot remove", root, ec);
}

std::vector<fs::path> OutputTransaction::Commit() {
  m_finished = true;
  std::vector<fs::path> left;
  std::error_code ec;
  RemoveTreeNoThrow(m_work, ec);
  if (ec) left.push_back(m_work);
  return left;
}

std::vector<fs::path> OutputTransaction::Rollback() noexcept {
  m_finished = true;
  std::vector<fs::path> left;
  std::error_code ec;
  for (auto it = m_placed.rbegin(); it != m_placed.rend(); ++it) {
    RemoveTreeNoThrow(*it, ec);
    if (ec) left.push_back(*it);
  }
  for (auto it = m_movedAside.rbegin(); it != m_movedAside.rend(); ++it) {
    fs::rename(it->second, it->first, ec);
    if (ec) left.push_back(it->first);
  }
  RemoveTreeNoThrow(m_work, ec);
  if (ec) left.push_back(m_work);
  m_placed.clear();
  m_movedAside.clear();
  return left;
}

}  // namespace stamp
}  // namespace varnesk
