#pragma once
// The running program's own executable file, as the system knows it. A user may start
// the installer by a relative path or through a symbolic link; the system still knows
// where the executable really lies.
#include <string>

namespace platform {

/// The absolute path of the running executable with symbolic links resolved. False, and
/// `path` untouched, when the system cannot say.
bool ExecutablePath(std::string& path);

}  // namespace platform
