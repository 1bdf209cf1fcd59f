#pragma once
// The shell command that lists the identifiers of the processes whose executable name
// is exactly `name`, one per line, in the order of `ps`. The tools differ per platform:
// macOS prints full command names with `ps -c`; Linux cuts `comm` to 15 characters, so
// there the executable path is matched on its last component instead.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// True when `name` can be placed into the lookup command safely: not empty, and no
/// quote, slash, backslash, newline or NUL that would end the awk program early.
bool IsSafeProcessName(const std::string& name);

/// The lookup command for a name that IsSafeProcessName accepts.
std::string ProcessLookupCommand(const std::string& name);

/// The same lookup without a shell, where the platform can read its process table
/// directly: the identifiers, ascending as `ps` lists them. False where it cannot (the
/// caller then runs ProcessLookupCommand).
bool ListProcessesNamed(const std::string& name, std::vector<std::int32_t>& pids);

/// True when process `pid` runs as the user running this program (its effective user
/// is our real user). False for other users' processes and for ones already gone:
/// the installer never signals a process of somebody else.
bool IsOwnProcess(std::int32_t pid);

}  // namespace platform
