#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/FileSystem.h"
#include "platform/HomeDirectory.h"

namespace platform {

int ExchangePaths(const std::string& first, const std::string& second) {
  if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) return 0;
  // Older kernels and some file systems (network, FUSE) know no exchange.
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return kSwapUnsupported;
  return errno;
}

namespace {

// A folder that is really this user's: not a link, owned by us, writable only by us.
bool IsPrivateFolder(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 022) == 0;
}

}  // namespace

// $XDG_RUNTIME_DIR is the session's private folder; without it, ~/.cache.
bool UserLockDirectory(std::string& dir) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime)) {
    dir = runtime;
    return true;
  }
  std::string home;
  if (!FindHomeDirectory(home)) return false;
  dir = home + "/.cache";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
