#include "platform/ProgramFile.h"

namespace platform {

// The embedded data stays mapped on macOS: its pages come in cheaply there, and the
// installer reads them in place.
bool OpenProgramFileAt(const void*, std::size_t, int& fd, std::uint64_t& offset) {
  fd = -1;
  offset = 0;
  return false;
}

}  // namespace platform
