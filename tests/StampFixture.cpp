#include "StampFixture.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace orvtest {

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  char mode[8];
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::file_status status = it->symlink_status();
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.permissions() & fs::perms::mask));
    std::string& entry = entries[fs::relative(it->path(), root).string()];
    if (fs::is_symlink(status)) {
      entry = "link -> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      entry = std::string("folder ") + mode;
    } else {
      entry = std::string("file ") + mode + " " + ReadFile(it->path());
    }
  }
  return entries;
}

std::vector<std::string> ZipNames(const fs::path& archive) {
  std::vector<std::string> names;
  FILE* list = ::popen(("unzip -Z1 " + Quote(archive.string())).c_str(), "r");
  if (list == nullptr) return names;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, list)) > 0;) text.append(buffer, n);
  EXPECT_EQ(::pclose(list), 0) << "unzip -Z1 " << archive;
  std::istringstream lines(text);
  for (std::string name; std::getline(lines, name);) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace orvtest
