#include "platform/HomeDirectory.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace platform {
namespace {

PasswdHomeHook g_passwdHook;

bool PasswdHome(std::string& home) {
  if (g_passwdHook) return g_passwdHook(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
    return false;
  }
  home = found->pw_dir;
  return true;
}

}  // namespace

bool FindHomeDirectory(std::string& home) {
  const char* env = std::getenv("HOME");
  if (env != nullptr && env[0] != '\0') {
    home = env;
    return true;
  }
  return PasswdHome(home);
}

void AnchorHomeDirectory() {
  const char* env = std::getenv("HOME");
  if (env == nullptr || env[0] == '\0' || env[0] == '/') return;
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return;
    cwd.resize(cwd.size() * 2);
  }
  const std::string absolute = std::string(cwd.data()) + "/" + env;
  ::setenv("HOME", absolute.c_str(), 1);
}

PasswdHomeHook SetPasswdHomeHook(PasswdHomeHook hook) {
  std::swap(g_passwdHook, hook);
  return hook;
}

}  // namespace platform
