#pragma once
// Shared fixtures: temporary trees, HOME, log capture, the sleep seam, status printing.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/Status.h"
#include "platform/SystemLog.h"

namespace orvtest {

namespace fs = std::filesystem;

std::string StatusText(varnesk::Status status);

#define EXPECT_OK(expr) EXPECT_EQ(orvtest::StatusText(expr), orvtest::StatusText(varnesk::kStatusOk))
#define EXPECT_FAILED(expr) \
  EXPECT_EQ(orvtest::StatusText(expr), orvtest::StatusText(varnesk::kStatusFail))
#define ASSERT_OK(expr) ASSERT_EQ(orvtest::StatusText(expr), orvtest::StatusText(varnesk::kStatusOk))

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return m_path; }
  std::string str() const { return m_path.string(); }

 private:
  fs::path m_path;
};

/// Sets (or, with nullptr, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string m_name;
  bool m_had;
  std::string m_old;
};

/// Collects every log message with its type for the scope.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  struct Line {
    platform::LogType type;
    std::string text;
  };
  const std::vector<Line>& lines() const { return m_lines; }
  std::vector<std::string> Texts() const;
  int Count(const std::string& text) const;

 private:
  std::vector<Line> m_lines;
  platform::LogSink m_previous;
};

/// Replaces sleeping with recording the requested seconds, for the scope.
class SleepRecorder {
 public:
  SleepRecorder();
  ~SleepRecorder();
  const std::vector<unsigned>& sleeps() const { return m_sleeps; }
  /// Called on every sleep, before it is recorded (tests make things happen "meanwhile").
  void OnSleep(std::function<void()> action) { m_action = std::move(action); }

 private:
  std::vector<unsigned> m_sleeps;
  std::function<void()> m_action;
};

/// Keeps the working directory of the test process as it was.
class ScopedCwd {
 public:
  ScopedCwd() : m_cwd(fs::current_path()) {}
  ~ScopedCwd() { fs::current_path(m_cwd); }

 private:
  fs::path m_cwd;
};

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& text);
std::vector<unsigned char> ReadBytes(const fs::path& path);

/// Runs a shell command; returns its exit status.
int Shell(const std::string& command);
std::string Quote(const std::string& text);

/// What a command printed, and its exit status.
struct ToolOutput {
  int status;
  std::string out;
  std::string err;
};

/// Runs `command` through the shell with its standard output and error captured (in
/// files in `tmp`).
ToolOutput RunTool(const TempDir& tmp, const std::string& command);

/// Lists a tree as sorted relative paths (links marked "@", folders "/").
std::vector<std::string> ListTree(const fs::path& root);

}  // namespace orvtest
