#pragma once
// Reading the program's own read-only data from its file instead of through its
// mapping: where mapping pages in costs more than copying them from the file cache.
#include <cstddef>
#include <cstdint>

namespace platform {

/// Opens the program's own file (close-on-exec) and finds where the bytes mapped at
/// [begin, begin + length) lie in it: `fd` then reads them from `offset` on. False,
/// with nothing open, where the system cannot trace the bytes to the file; the caller
/// reads them in memory then.
bool OpenProgramFileAt(const void* begin, std::size_t length, int& fd, std::uint64_t& offset);

}  // namespace platform
