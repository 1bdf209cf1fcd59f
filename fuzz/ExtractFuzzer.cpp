// Extraction of any bytes: no crash, no hang, and nothing written outside the target.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "RootedInstaller.h"
#include "platform/Sleep.h"
#include "platform/SystemLog.h"

namespace {

namespace fs = std::filesystem;

// sandbox/root receives the entries; sandbox/ must hold nothing else afterwards, and no
// symbolic link may appear anywhere below it.
const fs::path& Sandbox() {
  static const fs::path sandbox = [] {
    std::string pattern = (fs::temp_directory_path() / "orvalune-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    platform::SetSleepHook([](unsigned) {});
    platform::SetLogSink([](platform::LogType, const std::string&) {});
    return fs::path(pattern);
  }();
  return sandbox;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& sandbox = Sandbox();
  const fs::path root = sandbox / "root";
  fs::remove_all(root);
  fs::create_directories(root);

  const varnesk::PayloadSlice slice{data, static_cast<std::int32_t>(size)};
  orvtest::RootedInstaller installer(root.string());
  installer.InstallInPlace(varnesk::PayloadView{&slice, 1});

  for (const auto& entry : fs::directory_iterator(sandbox)) {
    if (entry.path() != root) std::abort();  // written beside the target
  }
  // Only the bundle may be left, and its links may only point inside it.
  const fs::path bundle = root / "Orvalune Client.app";
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != bundle) std::abort();
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_symlink()) continue;
    const fs::path target = (entry.path().parent_path() / fs::read_symlink(entry.path())).lexically_normal();
    const auto rel = target.lexically_relative(bundle);
    if (rel.empty() || *rel.begin() == "..") std::abort();
  }
  return 0;
}
