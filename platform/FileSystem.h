#pragma once
// File-system facilities the platforms spell differently: the atomic exchange of two
// paths and the per-user folder for the installer's lock file.
#include <string>

namespace platform {

/// Exchanges the two paths in one step: each afterwards names what the other named.
/// Both must exist on one file system. Returns 0, or the errno value of the failure;
/// kSwapUnsupported when this system or file system cannot exchange paths at all.
int ExchangePaths(const std::string& first, const std::string& second);

/// ExchangePaths' answer when the exchange is not available here.
constexpr int kSwapUnsupported = -1;

/// The folder of this user's own that holds the installer's lock file (created if
/// missing); false when there is none.
bool UserLockDirectory(std::string& dir);

}  // namespace platform
