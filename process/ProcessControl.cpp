#include "process/ProcessControl.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

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
  for (int pass = 0; pass < kMaxKillallPasses; ++pass) {
    std::int32_t pid = 0;
    if (Find(name, pid) != kStatusOk) return kStatusOk;
    // A refused kill leaves that process in place, and Find would report it first again.
    if (Kill(pid) != kStatusOk) return kStatusFail;
  }
  std::int32_t pid = 0;
  return Find(name, pid) == kStatusOk ? kStatusFail : kStatusOk;
}

::varnesk::Status ProcessControl::Find(const std::string& name, std::int32_t& pid) {
  pid = 0;
  if (!platform::IsSafeProcessName(name)) return kStatusFail;
  pid = FirstPidOf(my_ssystem(platform::ProcessLookupCommand(name)));
  return pid != 0 ? kStatusOk : kStatusFail;
}

std::int32_t FirstPidOf(const std::string& lookupOutput) {
  const std::size_t end = lookupOutput.find_first_not_of("0123456789");
  const std::string digits = lookupOutput.substr(0, end);
  return static_cast<std::int32_t>(std::atoi(digits.c_str()));
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
