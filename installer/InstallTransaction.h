#pragma once
// The installation as one transaction. The new bundle is unpacked into a staging
// folder beside the installed one, repaired and verified there, and only then
// exchanged with the installed bundle in one rename; a run that is killed leaves
// leftovers that the next run clears away. At every moment the bundle path holds either
// the complete previous install or the complete new one.
//
//   root/Orvalune Client.app                         the installed bundle
//   root/.Orvalune Client.app.installing-PID/        staging folder of run PID
//   root/.Orvalune Client.app.previous               the previous bundle, set aside
//                                                    where paths cannot be exchanged
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Status.h"
#include "installer/Payload.h"
#include "installer/ZipLayout.h"
#include "platform/FileSystem.h"

namespace varnesk {

/// One installer at a time for each user: an exclusive lock on a file in the user's
/// own folder, held until the object is destroyed or the process ends.
class InstallLock {
 public:
  InstallLock() = default;
  ~InstallLock();
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;

  /// Waits up to `timeout` for the lock. kStatusFail when another installer of this
  /// user still holds it then. A user without a folder for the lock file installs
  /// unlocked rather than not at all.
  Status Acquire(std::chrono::milliseconds timeout = kWait);

  static constexpr std::chrono::milliseconds kWait{120 * 1000};
  static constexpr const char* kFileName = "orvalune-installer.lock";

 private:
  int m_fd = -1;
};

/// The staged bundle and its way into place.
class StagedInstall {
 public:
  StagedInstall() = default;
  ~StagedInstall();
  StagedInstall(const StagedInstall&) = delete;
  StagedInstall& operator=(const StagedInstall&) = delete;

  /// Clears what an interrupted run left in `root`: its staging folders are removed
  /// (never following a link), and a set-aside previous bundle is put back when the
  /// bundle path is empty, or removed when a complete bundle stands there.
  static void Recover(const std::string& root, const std::string& bundleName);

  /// Bytes the archive's entries take once unpacked on the file system of `root`, and
  /// the bytes free there for this user. False only when there is too little; a file
  /// system that cannot say how much it has counts as large enough.
  static bool EnoughSpace(const std::string& root, const std::vector<zip::CentralEntry>& entries,
                          std::uint64_t& needed, std::uint64_t& available);

  /// Creates a fresh staging folder beside the bundle `root`/`bundleName`, for the
  /// archive in `payload` whose entries are `entries`. False when it cannot be made.
  bool Begin(const std::string& root, const std::string& bundleName, const PayloadView& payload,
             const std::vector<zip::CentralEntry>& entries);

  /// The folder that receives the archive's entries ("" when nothing is staged).
  const std::string& Folder() const { return m_folder; }
  /// The staged bundle while it waits to be put in place; "" before and after.
  std::string StagedBundle() const;
  /// Where the bundle that was replaced lies once the swap is done (it may not exist,
  /// when there was none); "" before.
  const std::string& PreviousBundle() const { return m_previous; }

  /// True when the staged bundle holds every entry of the archive with its size (a
  /// folder as a folder, a link as a link to its stored target) and `executable`,
  /// relative to the bundle, is an executable file.
  bool Verify(const std::string& executable) const;

  /// Puts the staged bundle at the bundle path: exchanges the two where the file
  /// system can, otherwise sets the old bundle aside and renames the new one in.
  /// False, with the installed bundle as it was, when neither works. `exchange` is
  /// the platform's exchange of two paths (tests give one that is never available).
  using ExchangeFunction = int (*)(const std::string&, const std::string&);
  bool SwapIntoPlace(ExchangeFunction exchange = platform::ExchangePaths);

  /// Removes the staging folder and everything in it; nothing is staged afterwards.
  void Discard();

  /// Removes `path` and, for a folder, everything below it, never following a link.
  static bool RemoveTree(const std::string& path);

 private:
  std::string StagingPrefix() const;
  std::string SetAsidePath() const;

  std::string m_root;
  std::string m_bundleName;
  std::string m_folder;
  std::string m_previous;
  PayloadView m_payload{nullptr, 0};
  std::vector<zip::CentralEntry> m_entries;
};

}  // namespace varnesk
