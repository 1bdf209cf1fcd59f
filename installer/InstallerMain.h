#pragma once
#include <string>

#include "installer/ClientInstallerBase.h"

namespace varnesk {

/// The installer bundle path: `programPath` up to and including its last ".app"
/// (exact bytes, anywhere in the path), or the whole path when it holds none.
std::string InstallerBundlePath(const std::string& programPath);

/// One installation for the program at `programPath`: announces the version, runs the
/// sequence on `installer` and logs the outcome. Returns the exit status: 1 after
/// success, 0 after any failure, including an exception that escaped a step.
int RunInstaller(const std::string& programPath, ClientInstallerBase& installer);

}  // namespace varnesk
