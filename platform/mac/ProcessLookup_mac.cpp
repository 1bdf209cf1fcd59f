#include <libproc.h>
#include <sys/proc_info.h>
#include <unistd.h>

#include "platform/ProcessLookup.h"

namespace platform {

// `ps -Ac` prints each process's bare executable name after its right-aligned
// identifier; the name must fill the rest of the line.
std::string ProcessLookupCommand(const std::string& name) {
  return "ps -Ac -o pid,comm | awk '/^ *[0-9]+ " + name + "$/ {print $1}'";
}

// Processes are found through the `ps -Ac | awk` command here.
bool ListProcessesNamed(const std::string&, std::vector<std::int32_t>&) { return false; }

bool IsOwnProcess(std::int32_t pid) {
  if (pid <= 0) return false;
  struct proc_bsdshortinfo info {};
  const int size = ::proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info);
  return size == static_cast<int>(sizeof info) && info.pbsi_uid == ::getuid();
}

}  // namespace platform
