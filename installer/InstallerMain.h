#pragma once
#include <functional>
#include <string>

#include "installer/ClientInstallerBase.h"
#include "platform/ExecutablePath.h"

namespace varnesk {

/// The installer bundle path: `programPath` up to and including its last ".app"
/// (exact bytes, anywhere in the path), or the whole path when it holds none.
std::string InstallerBundlePath(const std::string& programPath);

/// Asks the system for the running executable's own path; false when it cannot say.
using ExecutablePathSource = std::function<bool(std::string& path)>;

/// The installer bundle path for a run started as `programPath`. Normally the program
/// path cut by InstallerBundlePath. When that carries no address (no field of the
/// bundle-name suffix decodes to a non-zero value), the executable's own path from
/// `selfPath`, cut the same way, is used instead if it carries one: a user who starts
/// the installer as "./OrvaluneInstaller" or through a symbolic link gives no ".app".
/// Otherwise the cut program path, as it is.
std::string FindInstallerBundlePath(const std::string& programPath,
                                    const ExecutablePathSource& selfPath);

/// One installation for the program at `programPath`: announces the version, runs the
/// sequence on `installer` with the bundle path FindInstallerBundlePath gives and logs
/// the outcome. Returns the exit status: 1 after success, 0 after any failure,
/// including an exception that escaped a step.
int RunInstaller(const std::string& programPath, ClientInstallerBase& installer,
                 const ExecutablePathSource& selfPath = platform::ExecutablePath);

}  // namespace varnesk
