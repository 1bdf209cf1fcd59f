#include "platform/ProcessLookup.h"

namespace platform {

// `ps -Ac` prints each process's bare executable name after its right-aligned
// identifier; the name must fill the rest of the line.
std::string ProcessLookupCommand(const std::string& name) {
  return "ps -Ac -o pid,comm | awk '/^ *[0-9]+ " + name + "$/ {print $1}'";
}

}  // namespace platform
