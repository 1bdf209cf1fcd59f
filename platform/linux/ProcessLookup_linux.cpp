#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/ProcessLookup.h"

namespace platform {

// `ps -A -o pid=,exe=` prints every process as its identifier and the full path of its
// executable ("-" where it cannot be read, as for zombies and kernel threads). The
// awk program drops the identifier column, strips the " (deleted)" mark of an executable
// whose file is gone, and compares the last path component with the name as a string.
std::string ProcessLookupCommand(const std::string& name) {
  return "ps -A -o pid=,exe= | awk '{ pid = $1; sub(/^ *[0-9]+ /, \"\"); "
         "sub(/ \\(deleted\\)$/, \"\"); n = split($0, parts, \"/\"); "
         "if (n > 0 && parts[n] == \"" +
         name + "\") print pid }'";
}

// A process's folder in /proc belongs to its effective user.
bool IsOwnProcess(std::int32_t pid) {
  if (pid <= 0) return false;
  struct stat st {};
  return ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == ::getuid();
}

}  // namespace platform
