#pragma once
// The current user's home directory, for when tilde expansion cannot give a path.
#include <functional>
#include <string>

namespace platform {

/// HOME when set and not empty, otherwise the password database's entry for the real
/// user. False when neither gives a directory.
bool FindHomeDirectory(std::string& home);

/// Makes a relative HOME absolute against the current directory. The installer changes
/// its working directory while it repairs links, after which a relative HOME would name
/// another folder (and a staging folder could no longer be found to be removed).
void AnchorHomeDirectory();

/// Replaces the password-database lookup (tests: "this user has no home").
using PasswdHomeHook = std::function<bool(std::string& home)>;
PasswdHomeHook SetPasswdHomeHook(PasswdHomeHook hook);

}  // namespace platform
