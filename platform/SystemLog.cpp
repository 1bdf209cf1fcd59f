#include "platform/SystemLog.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "common/StringUtils.h"

namespace platform {
namespace {

std::mutex g_sinkMutex;
LogSink g_sink;

}  // namespace

LogSink SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  std::swap(g_sink, sink);
  return sink;
}

bool DeliverToSink(LogType type, const std::string& message) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  if (!g_sink) return false;
  g_sink(type, message);
  return true;
}

void WriteToSyslog(LogType type, const std::string& message) {
  const int priority = type == LogType::kError ? LOG_ERR : LOG_INFO;
  ::syslog(LOG_USER | priority, "%s", message.c_str());
}

std::string FormatLogMessageV(const char* format, va_list args) {
  static const std::string kQualifier = "{public}";
  std::string plain = format;
  for (std::size_t pos = plain.find(kQualifier); pos != std::string::npos;
       pos = plain.find(kQualifier, pos)) {
    plain.erase(pos, kQualifier.size());
  }
  return varnesk::utf8::formatV(plain.c_str(), args);
}

std::string FormatLogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatLogMessageV(format, args);
  va_end(args);
  return message;
}

}  // namespace platform
