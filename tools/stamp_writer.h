#pragma once
// Writing installer bundles: what goes into one, and how a run places its results so
// that a failure part way leaves the output folder as it found it.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace varnesk {
namespace stamp {

namespace fs = std::filesystem;

/// Where a bundle's content comes from: the built installer, put into a new bundle with
/// an Info.plist, or a template bundle (signed once on a Mac) copied byte for byte.
class BundleSource {
 public:
  /// Throws UsageError when `path` is not a file.
  static BundleSource Installer(const std::string& path);
  /// Throws UsageError when `path` is not a folder, holds no executable
  /// Contents/MacOS/OrvaluneInstaller, cannot be read whole, or holds anything other
  /// than folders, files and symbolic links.
  static BundleSource Template(const std::string& path);

  /// Writes a complete bundle at `bundle`, which must not exist yet: the template's
  /// folders, files (bytes, modes, modification times) and links, or the installer with
  /// mode 0755 and an Info.plist, folders 0755. Throws on a write failure.
  void Write(const fs::path& bundle) const;

  /// The installer executable every bundle carries (inside the template, for one).
  const fs::path& Executable() const { return m_executable; }
  /// The template folder, resolved; empty for the built installer.
  const fs::path& TemplateFolder() const { return m_template; }

 private:
  fs::path m_executable;
  fs::path m_template;
};

/// Deletes `root` and everything below it, read-only folders included. Throws.
void RemoveTree(const fs::path& root);

/// The files one run writes into the output folder. Each result is made in a hidden
/// work folder beside its final place and renamed into place whole; what it replaces is
/// moved aside, not deleted, until the run commits. Without Commit(), the destructor
/// rolls back.
class OutputTransaction {
 public:
  /// Makes the work folder in `out` (so every rename stays on one file system).
  /// Throws std::filesystem::filesystem_error.
  explicit OutputTransaction(const fs::path& out);
  ~OutputTransaction();
  OutputTransaction(const OutputTransaction&) = delete;
  OutputTransaction& operator=(const OutputTransaction&) = delete;

  /// A new empty folder inside the work folder.
  fs::path NewFolder();
  /// Renames `staged` to `name` in the output folder. With `replace`, what is there is
  /// moved aside first; without, an existing `name` is a failure. Throws.
  void Place(const fs::path& staged, const std::string& name, bool replace);
  /// Keeps what was placed; deletes what it replaced and the work folder. Returns the
  /// paths it could not delete.
  std::vector<fs::path> Commit();
  /// Removes what was placed, puts back what it replaced, removes the work folder.
  /// Returns the paths it could not remove or put back.
  std::vector<fs::path> Rollback() noexcept;

 private:
  fs::path m_out;
  fs::path m_work;
  std::vector<fs::path> m_placed;
  std::vector<std::pair<fs::path, fs::path>> m_movedAside;  // original place, where it is now
  unsigned m_folders = 0;
  bool m_finished = false;
};

}  // namespace stamp
}  // namespace varnesk
