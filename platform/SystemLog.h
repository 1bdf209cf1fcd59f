#pragma once
// The installer's only output channel: the system log, default log object, two types.
//
//   ORV_LOG_INFO("Installing version %{public}d.%{public}d.%{public}d", 3, 5, 11296);
//   ORV_LOG_ERROR("Could not chdir %{public}s (error code %{public}d)", path.c_str(), rc);
//
// Formats use the unified-logging "%{public}" qualifiers on every platform; where the
// platform has no such facility the qualifiers are dropped before printf formatting.
// Tests may install a sink that receives every message, already formatted, with its type.
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

enum class LogType : std::uint8_t {
  kInfo = 0x01,
  kError = 0x10,
};

/// Receives each message instead of the system log while installed.
using LogSink = std::function<void(LogType, const std::string&)>;

/// Installs `sink` (an empty function restores the system log); returns the previous one.
LogSink SetLogSink(LogSink sink);

/// Formats a "%{public}"-style format with printf semantics ("{public}" dropped).
std::string FormatLogMessage(const char* format, ...);
std::string FormatLogMessageV(const char* format, va_list args);

/// Hands an already formatted message to the sink if one is installed; false otherwise.
bool DeliverToSink(LogType type, const std::string& message);

/// Writes an already formatted message to syslog(3), user facility, at LOG_INFO or
/// LOG_ERR: the Linux back end, and the macOS one on systems older than the unified
/// log (before 10.12).
void WriteToSyslog(LogType type, const std::string& message);

}  // namespace platform

// The platform back end defines ORV_LOG_INFO and ORV_LOG_ERROR.
#include "SystemLogImpl.h"
