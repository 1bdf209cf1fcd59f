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
  installer.InstallClientFilesFrom(varnesk::PayloadView{&slice, 1});

  for (const auto& entry : fs::directory_iterator(sandbox)) {
    if (entry.path() != root) std::abort();  // written beside the target
  }
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_symlink()) std::abort();
  }
  return 0;
}
