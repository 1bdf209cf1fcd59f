#pragma once
// Every blocking wait of the installer (the pause before the launch, the waits for
// killed clients and for the install folder) goes through here, so tests can replace
// the clock with one that returns at once.
#include <functional>

namespace platform {

/// Blocks the calling thread for `seconds` (or hands them to the installed hook).
void SleepSeconds(unsigned seconds);

using SleepHook = std::function<void(unsigned seconds)>;

/// Installs `hook` in place of the real sleep (empty restores it); returns the previous.
SleepHook SetSleepHook(SleepHook hook);

}  // namespace platform
