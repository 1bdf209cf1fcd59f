#include "platform/MemoryPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

namespace {
constexpr std::size_t kLargePage = 2 * 1024 * 1024;
}  // namespace

std::size_t LargePageSize() { return kLargePage; }

void* AllocatePages(std::size_t& size) {
  const std::size_t page = PageSize();
  size = (std::max<std::size_t>(size, 1) + page - 1) / page * page;
  if (size < kLargePage) {
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
  }
  // Whole large pages on a large-page boundary: map one more, then trim both ends.
  size = (size + kLargePage - 1) / kLargePage * kLargePage;
  const std::size_t mapped = size + kLargePage;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (begin + kLargePage - 1) / kLargePage * kLargePage;
  if (aligned > begin) ::munmap(raw, aligned - begin);
  const std::uintptr_t end = begin + mapped;
  if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint; refusal is fine
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreePages(void* pages, std::size_t size) {
  if (pages != nullptr) ::munmap(pages, size);
}

}  // namespace platform
