#include "platform/MemoryPages.h"

#include <sys/mman.h>
#include <unistd.h>

namespace platform {

std::size_t PageSize() {
  static const std::size_t size = [] {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
  }();
  return size;
}

bool DropPages(void* begin, std::size_t length) {
#ifdef MADV_DONTNEED
  // Linux drops the mappings at once (RSS falls); macOS takes it as a hint.
  return length == 0 || ::madvise(begin, length, MADV_DONTNEED) == 0;
#else
  (void)begin;
  (void)length;
  return false;
#endif
}

}  // namespace platform
