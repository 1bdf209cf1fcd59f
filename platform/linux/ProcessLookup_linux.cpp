#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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

// What `ps -A -o pid=,exe=` and the awk program do, read from /proc: four lookups
// through a shell cost a run about 30 ms, this about 1 ms each.
bool ListProcessesNamed(const std::string& name, std::vector<std::int32_t>& pids) {
  pids.clear();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  const std::string deleted = " (deleted)";
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    char target[4096];
    const ssize_t length = ::readlink(("/proc/" + std::string(entry->d_name) + "/exe").c_str(), target,
                                      sizeof target);
    if (length <= 0) continue;  // kernel threads, zombies, other users' processes
    std::string exe(target, static_cast<std::size_t>(length));
    if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
      exe.resize(exe.size() - deleted.size());
    }
    if (exe.compare(exe.find_last_of('/') + 1, std::string::npos, name) == 0) {
      pids.push_back(static_cast<std::int32_t>(pid));
    }
  }
  ::closedir(proc);
  std::sort(pids.begin(), pids.end());
  return true;
}

// A process's folder in /proc belongs to its effective user.
bool IsOwnProcess(std::int32_t pid) {
  if (pid <= 0) return false;
  struct stat st {};
  return ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == ::getuid();
}

}  // namespace platform
