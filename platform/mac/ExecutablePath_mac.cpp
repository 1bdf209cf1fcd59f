#include "platform/ExecutablePath.h"

#include <limits.h>
#include <mach-o/dyld.h>
#include <stdlib.h>

#include <cstdint>
#include <vector>

namespace platform {

// _NSGetExecutablePath gives the path the program was started by, which may hold
// symbolic links or "./" parts; realpath turns it into the file itself.
bool ExecutablePath(std::string& path) {
  std::uint32_t size = PATH_MAX;
  std::vector<char> started(size);
  if (::_NSGetExecutablePath(started.data(), &size) != 0) {
    started.resize(size);  // `size` now holds the length it needs
    if (::_NSGetExecutablePath(started.data(), &size) != 0) return false;
  }
  char resolved[PATH_MAX];
  if (::realpath(started.data(), resolved) == nullptr) return false;
  path = resolved;
  return true;
}

}  // namespace platform
