#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <vector>

namespace platform {

// /proc/self/exe is a link to the executable the kernel started, already resolved.
bool ExecutablePath(std::string& path) {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      path.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    // readlink truncates silently: a full buffer may be a cut path.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
