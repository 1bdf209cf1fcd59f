#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/HomeDirectory.h"

namespace platform {

int ExchangePaths(const std::string& first, const std::string& second) {
  // renamex_np came with macOS 10.12; older systems take the rename-aside path.
  if (__builtin_available(macOS 10.12, *)) {
    if (::renamex_np(first.c_str(), second.c_str(), RENAME_SWAP) == 0) return 0;
    if (errno == ENOTSUP || errno == EINVAL) return kSwapUnsupported;
    return errno;
  }
  return kSwapUnsupported;
}

bool UserLockDirectory(std::string& dir) {
  std::string home;
  if (!FindHomeDirectory(home)) return false;
  const std::string library = home + "/Library";
  dir = library + "/Caches";
  if (::mkdir(library.c_str(), 0700) != 0 && errno != EEXIST) return false;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
