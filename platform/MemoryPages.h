#pragma once
// Giving back the memory pages of read-only data that is no longer needed.
#include <cstddef>

namespace platform {

/// Size of a memory page of this process.
std::size_t PageSize();

/// Unmaps the pages [begin, begin + length) from this process; both ends must be
/// page-aligned. Meant for pages of a read-only file mapping (the program's own
/// read-only data): they stay in the file cache, and a later read maps them in again
/// with the same bytes. Pages of private writable or anonymous memory would come back
/// zeroed or reverted: never pass those. False where the system has no such call or
/// refuses; nothing changes then.
bool DropPages(void* begin, std::size_t length);

/// Maps in the pages [begin, begin + length) of a read-only file mapping ahead of
/// reading them, in one call rather than one page fault per few pages. The range is
/// widened to whole pages. A hint: false where the system has no such call or refuses,
/// and nothing changes then.
bool MapInPages(const void* begin, std::size_t length);

/// Anonymous read-write memory of at least `size` bytes (rounded up; `size` is set to
/// what was given), for large buffers that are reused: where the system offers it the
/// memory is asked for in 2 MiB pages, so filling it first costs a few page faults
/// instead of one per 4 KiB. Null when there is no memory. Give it back with FreePages.
void* AllocatePages(std::size_t& size);
/// Size of the large pages AllocatePages asks for (2 MiB).
std::size_t LargePageSize();
void FreePages(void* pages, std::size_t size);

}  // namespace platform
