#include "installer/InstallTransaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>


namespace varnesk {
namespace {

constexpr std::chrono::milliseconds kLockPoll{50};
constexpr std::size_t kMaxLinkTarget = 4096;

std::string StagingPrefixFor(const std::string& bundleName) {
  return "." + bundleName + ".installing-";
}

std::string SetAsidePathFor(const std::string& root, const std::string& bundleName) {
  return root + "/." + bundleName + ".previous";
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int RemoveOne(const char* path, const struct stat*, int type, struct FTW*) {
  const int rc = (type == FTW_DP || type == FTW_D) ? ::rmdir(path) : ::unlink(path);
  return rc == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

// --- InstallLock -------------------------------------------------------------------

InstallLock::~InstallLock() {
  if (m_fd >= 0) ::close(m_fd);  // closing the last descriptor releases the lock
}

Status InstallLock::Acquire(std::chrono::milliseconds timeout) {
  std::string dir;
  if (!platform::UserLockDirectory(dir)) return kStatusOk;
  const std::string path = dir + "/" + kFileName;
  // Never through a link: another user must not point our lock file anywhere.
  m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (m_fd < 0) return kStatusOk;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) return kStatusOk;
    if (errno != EWOULDBLOCK && errno != EINTR) return kStatusOk;  // no locking here: go on
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kLockPoll);
  }
  ::close(m_fd);
  m_fd = -1;
  return kStatusFail;
}

// --- StagedInstall -----------------------------------------------------------------

StagedInstall::~StagedInstall() { Discard(); }

std::string StagedInstall::StagingPrefix() const { return StagingPrefixFor(m_bundleName); }
std::string StagedInstall::SetAsidePath() const { return SetAsidePathFor(m_root, m_bundleName); }

bool StagedInstall::RemoveTree(const std::string& path) {
  if (!Exists(path)) return true;
  return ::nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS) == 0 && !Exists(path);
}

void StagedInstall::Recover(const std::string& root, const std::string& bundleName) {
  const std::string prefix = StagingPrefixFor(bundleName);
  if (DIR* dir = ::opendir(root.c_str())) {
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir)) {
      if (std::string(entry->d_name).rfind(prefix, 0) == 0) leftovers.push_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : leftovers) RemoveTree(root + "/" + name);
  }
  // A run killed between setting the old bundle aside and renaming the new one in
  // leaves no bundle: the old one goes back. With a bundle in place the swap was done.
  const std::string bundle = root + "/" + bundleName;
  const std::string setAside = SetAsidePathFor(root, bundleName);
  if (!Exists(setAside)) return;
  if (!Exists(bundle)) {
    ::rename(setAside.c_str(), bundle.c_str());
  } else {
    RemoveTree(setAside);
  }
}

bool StagedInstall::EnoughSpace(const std::string& root,
                                const std::vector<zip::CentralEntry>& entries,
                                std::uint64_t& needed, std::uint64_t& available) {
  needed = 0;
  available = 0;
  struct statvfs fs {};
  if (::statvfs(root.c_str(), &fs) != 0) return true;
  const std::uint64_t block = fs.f_frsize > 0 ? fs.f_frsize : 4096;
  // Every file takes whole blocks, every folder at least one; links take next to none.
  for (const zip::CentralEntry& entry : entries) {
    if (entry.IsDirectory()) {
      needed += block;
    } else if (!entry.IsSymlink()) {
      needed += (std::uint64_t{entry.uncompressedSize} + block - 1) / block * block;
    }
  }
  available = std::uint64_t{fs.f_bavail} * block;
  return needed <= available;
}

bool StagedInstall::Begin(const std::string& root, const std::string& bundleName,
                          const PayloadView& payload, const std::vector<zip::CentralEntry>& entries) {
  Discard();
  m_root = root;
  m_bundleName = bundleName;
  const std::string folder = root + "/" + StagingPrefix() + std::to_string(::getpid());
  RemoveTree(folder);
  // Only this user may enter it while it is being filled.
  if (::mkdir(folder.c_str(), 0700) != 0) return false;
  m_folder = folder;
  m_payload = payload;
  m_entries = entries;
  return true;
}

std::string StagedInstall::StagedBundle() const {
  return m_folder.empty() || !m_previous.empty() ? std::string() : m_folder + "/" + m_bundleName;
}

bool StagedInstall::Verify(const std::string& executable) const {
  const std::string bundle = StagedBundle();
  if (bundle.empty() || m_entries.empty()) return false;
  // Entries are looked up from the staging folder, not from "/" each time.
  const int folder = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return false;
  const bool complete = std::all_of(m_entries.begin(), m_entries.end(), [&](const zip::CentralEntry& entry) {
    // Below the folder, as "folder/" followed by the name would be.
    std::string path = entry.name.substr(std::min(entry.name.find_first_not_of('/'), entry.name.size()));
    if (entry.IsDirectory() && !path.empty()) path.pop_back();
    if (path.empty()) path = ".";
    struct stat st {};
    if (::fstatat(folder, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (entry.IsDirectory()) return S_ISDIR(st.st_mode);
    if (entry.IsSymlink()) {
      std::string stored;
      char target[kMaxLinkTarget];
      const ssize_t length = ::readlinkat(folder, path.c_str(), target, sizeof target);
      if (!S_ISLNK(st.st_mode) || length < 0 ||
          !ReadPayloadEntryData(m_payload, entry, kMaxLinkTarget, stored) ||
          stored != std::string(target, static_cast<std::size_t>(length))) {
        return false;
      }
      return true;
    }
    return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == entry.uncompressedSize;
  });
  ::close(folder);
  if (!complete) return false;
  struct stat exe {};
  return ::stat((bundle + "/" + executable).c_str(), &exe) == 0 && S_ISREG(exe.st_mode) &&
         (exe.st_mode & S_IXUSR) != 0;
}

bool StagedInstall::SwapIntoPlace(ExchangeFunction exchange) {
  const std::string staged = StagedBundle();
  if (staged.empty()) return false;
  const std::string bundle = m_root + "/" + m_bundleName;
  if (!Exists(bundle)) {
    if (::rename(staged.c_str(), bundle.c_str()) != 0) return false;
    m_previous = staged;  // nothing there: the staging folder is left empty
    return true;
  }
  const int swapped = exchange(staged, bundle);
  if (swapped == 0) {
    m_previous = staged;
    return true;
  }
  if (swapped != platform::kSwapUnsupported) return false;
  // No exchange on this file system: the bundle path is empty for the moment between
  // the two renames; a run killed there is put right by Recover.
  const std::string setAside = SetAsidePath();
  if (!RemoveTree(setAside) || ::rename(bundle.c_str(), setAside.c_str()) != 0) return false;
  if (::rename(staged.c_str(), bundle.c_str()) != 0) {
    ::rename(setAside.c_str(), bundle.c_str());
    return false;
  }
  m_previous = setAside;
  return true;
}

void StagedInstall::Discard() {
  if (!m_folder.empty()) RemoveTree(m_folder);
  m_folder.clear();
  m_previous.clear();
  m_entries.clear();
  m_payload = PayloadView{nullptr, 0};
}

}  // namespace varnesk
