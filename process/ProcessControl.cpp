#include "process/ProcessControl.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <set>

#include "platform/ProcessLookup.h"

namespace varnesk {

::varnesk::Status ProcessControl::Create(const std::string&, std::int32_t&, const std::string&,
                                         const std::string&,
                                         const std::map<std::string, std::string>&, bool) {
  return kStatusFail;
}

::varnesk::Status ProcessControl::Wait(std::int32_t, std::int32_t&, std::uint32_t) {
  return kStatusFail;
}

::varnesk::Status ProcessControl::Run(const std::string&, std::int32_t&, const std::string&,
                                      const std::string&,
                                      const std::map<std::string, std::string>&, bool,
                                      std::uint32_t) {
  return kStatusFail;
}

::varnesk::Status ProcessControl::Kill(std::int32_t pid) {
  return ::kill(pid, SIGKILL) == 0 ? kStatusOk : kStatusFail;
}

::varnesk::Status ProcessControl::Terminate(std::int32_t pid) {
  return ::kill(pid, SIGTERM) == 0 ? kStatusOk : kStatusFail;
}

::varnesk::Status ProcessControl::Status(std::int32_t, ProcessStatus&) { return kStatusFail; }

::varnesk::Status ProcessControl::Killall(const std::string& name) {
  // Processes whose kill was refused (gone already, or no longer ours) are passed over,
  // so they never keep the user's other clients of that name alive.
  std::set<std::int32_t> refused;
  auto nextToKill = [&](std::int32_t& pid) {
    if (refused.empty()) return Find(name, pid) == kStatusOk;
    for (const std::int32_t candidate : FindAll(name)) {
      if (refused.count(candidate) == 0) {
        pid = candidate;
        return true;
      }
    }
    return false;
  };
  for (int pass = 0; pass < kMaxKillallPasses; ++pass) {
    std::int32_t pid = 0;
    if (!nextToKill(pid)) return refused.empty() ? kStatusOk : kStatusFail;
    if (Kill(pid) != kStatusOk) refused.insert(pid);
  }
  std::int32_t pid = 0;
  return refused.empty() && !nextToKill(pid) ? kStatusOk : kStatusFail;
}

::varnesk::Status ProcessControl::Find(const std::string& name, std::int32_t& pid) {
  const std::vector<std::int32_t> pids = FindAll(name);
  pid = pids.empty() ? 0 : pids.front();
  return pid != 0 ? kStatusOk : kStatusFail;
}

std::vector<std::int32_t> ProcessControl::FindAll(const std::string& name) {
  std::vector<std::int32_t> own;
  if (!platform::IsSafeProcessName(name)) return own;
  std::vector<std::int32_t> all;
  if (!platform::ListProcessesNamed(name, all)) {
    all = PidsOf(my_ssystem(platform::ProcessLookupCommand(name)));
  }
  for (const std::int32_t pid : all) {
    if (platform::IsOwnProcess(pid)) own.push_back(pid);
  }
  return own;
}

std::int32_t FirstPidOf(const std::string& lookupOutput) {
  const std::size_t end = lookupOutput.find_first_not_of("0123456789");
  const std::string digits = lookupOutput.substr(0, end);
  return static_cast<std::int32_t>(std::atoi(digits.c_str()));
}

std::vector<std::int32_t> PidsOf(const std::string& lookupOutput) {
  std::vector<std::int32_t> pids;
  for (std::size_t start = 0; start < lookupOutput.size();) {
    std::size_t end = lookupOutput.find('\n', start);
    if (end == std::string::npos) end = lookupOutput.size();
    const std::int32_t pid = FirstPidOf(lookupOutput.substr(start, end - start));
    if (pid > 0) pids.push_back(pid);
    start = end + 1;
  }
  return pids;
}

std::string my_ssystem(const std::string& command) {
  // A pipe instead of a named temporary file: nothing on disk that another user could
  // create or redirect first, and nothing to clean up.
  std::string result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.append(buffer, got);
  ::pclose(pipe);
  return result;
}

}  // namespace varnesk
