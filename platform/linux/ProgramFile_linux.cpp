#include "platform/ProgramFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace platform {
namespace {

// One line of /proc/self/maps: "start-end perms offset major:minor inode path".
struct Mapping {
  std::uintptr_t start = 0, end = 0;
  std::uint64_t offset = 0;
  unsigned major = 0, minor = 0;
  std::uint64_t inode = 0;
};

bool ParseMapping(const char* line, Mapping& m) {
  char perms[8];
  return std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s %" SCNx64 " %x:%x %" SCNu64, &m.start,
                     &m.end, perms, &m.offset, &m.major, &m.minor, &m.inode) == 7;
}

// Finds the file range behind [begin, end): one file, mapped in order without gaps.
bool FindFileRange(std::uintptr_t begin, std::uintptr_t end, Mapping& file, std::uint64_t& offset) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return false;
  char line[4096 + 256];
  std::uintptr_t next = begin;  // first address not yet traced
  bool found = false;
  while (next < end && std::fgets(line, sizeof line, maps) != nullptr) {
    Mapping m;
    if (!ParseMapping(line, m) || m.end <= next) continue;
    if (m.start > next || m.inode == 0) break;  // a gap, or memory of no file
    const std::uint64_t at = m.offset + (next - m.start);
    if (!found) {
      file = m;
      offset = at;
      found = true;
    } else if (m.major != file.major || m.minor != file.minor || m.inode != file.inode ||
               at != offset + (next - begin)) {
      break;
    }
    next = m.end;
  }
  std::fclose(maps);
  return found && next >= end;
}

}  // namespace

bool OpenProgramFileAt(const void* begin, std::size_t length, int& fd, std::uint64_t& offset) {
  fd = -1;
  offset = 0;
  const auto from = reinterpret_cast<std::uintptr_t>(begin);
  Mapping file;
  std::uint64_t at = 0;
  if (length == 0 || !FindFileRange(from, from + length, file, at)) return false;
  // The file the system started, which stays readable even when it has been renamed or
  // deleted since; it must be the very file the bytes are mapped from.
  const int opened = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (opened < 0) return false;
  struct stat st {};
  if (::fstat(opened, &st) != 0 || static_cast<std::uint64_t>(st.st_ino) != file.inode ||
      major(st.st_dev) != file.major || minor(st.st_dev) != file.minor || st.st_size < 0 ||
      static_cast<std::uint64_t>(st.st_size) < at + length) {
    ::close(opened);
    return false;
  }
  fd = opened;
  offset = at;
  return true;
}

}  // namespace platform
