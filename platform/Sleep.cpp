#include "platform/Sleep.h"

#include <unistd.h>

#include <utility>

namespace platform {
namespace {
SleepHook g_hook;
}

void SleepSeconds(unsigned seconds) {
  if (g_hook) {
    g_hook(seconds);
    return;
  }
  // sleep() may return early on a signal; finish the remaining time.
  unsigned left = seconds;
  while (left > 0) left = ::sleep(left);
}

SleepHook SetSleepHook(SleepHook hook) {
  std::swap(g_hook, hook);
  return hook;
}

}  // namespace platform
