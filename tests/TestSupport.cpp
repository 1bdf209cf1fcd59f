#include "TestSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/Sleep.h"

namespace orvtest {

std::string StatusText(varnesk::Status status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", status);
  return text;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "orvalune-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = fs::canonical(pattern);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; open them up so everything goes.
  for (auto it = fs::recursive_directory_iterator(m_path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(m_path, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
  const char* old = ::getenv(name);
  m_had = old != nullptr;
  if (m_had) m_old = old;
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (m_had) {
    ::setenv(m_name.c_str(), m_old.c_str(), 1);
  } else {
    ::unsetenv(m_name.c_str());
  }
}

LogCapture::LogCapture() {
  m_previous = platform::SetLogSink(
      [this](platform::LogType type, const std::string& text) { m_lines.push_back({type, text}); });
}

LogCapture::~LogCapture() { platform::SetLogSink(m_previous); }

std::vector<std::string> LogCapture::Texts() const {
  std::vector<std::string> texts;
  for (const Line& line : m_lines) texts.push_back(line.text);
  return texts;
}

int LogCapture::Count(const std::string& text) const {
  return static_cast<int>(std::count_if(m_lines.begin(), m_lines.end(),
                                        [&](const Line& l) { return l.text == text; }));
}

SleepRecorder::SleepRecorder() {
  platform::SetSleepHook([this](unsigned seconds) {
    if (m_action) m_action();
    m_sleeps.push_back(seconds);
  });
}

SleepRecorder::~SleepRecorder() { platform::SetSleepHook(nullptr); }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<unsigned char> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
}

int Shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ToolOutput RunTool(const TempDir& tmp, const std::string& command) {
  const fs::path out = tmp.path() / "stdout";
  const fs::path err = tmp.path() / "stderr";
  const int status = Shell(command + " >" + Quote(out.string()) + " 2>" + Quote(err.string()));
  return {status, ReadFile(out), ReadFile(err)};
}

std::vector<std::string> ListTree(const fs::path& root) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = fs::relative(it->path(), root).string();
    if (it->is_symlink()) {
      rel += "@";
    } else if (it->is_directory()) {
      rel += "/";
    }
    entries.push_back(rel);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace orvtest
