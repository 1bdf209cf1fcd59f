#include "platform/MemoryPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

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

bool MapInPages(const void* begin, std::size_t length) {
  if (length == 0) return true;
  const auto first = reinterpret_cast<std::uintptr_t>(begin) / PageSize() * PageSize();
  const auto end = reinterpret_cast<std::uintptr_t>(begin) + length;
  void* const start = reinterpret_cast<void*>(first);
#if defined(MADV_POPULATE_READ)
  // Linux 5.14 and later fill the page tables from the file cache in one call.
  if (::madvise(start, end - first, MADV_POPULATE_READ) == 0) return true;
#endif
#ifdef MADV_WILLNEED
  return ::madvise(start, end - first, MADV_WILLNEED) == 0;
#else
  return false;
#endif
}

}  // namespace platform
