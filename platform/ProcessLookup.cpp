#include "platform/ProcessLookup.h"

namespace platform {

bool IsSafeProcessName(const std::string& name) {
  return !name.empty() && name.find_first_of(std::string("'\"/\\\n\0", 6)) == std::string::npos;
}

}  // namespace platform
