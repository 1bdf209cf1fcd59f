#pragma once
// Linux back end: syslog(3) at LOG_INFO / LOG_ERR, the "{public}" qualifiers removed.

namespace platform {

/// Formats one message and writes it to the sink, or to the system log when none is set.
void WriteLog(LogType type, const char* format, ...);

}  // namespace platform

#define ORV_LOG_INFO(...) ::platform::WriteLog(::platform::LogType::kInfo, __VA_ARGS__)
#define ORV_LOG_ERROR(...) ::platform::WriteLog(::platform::LogType::kError, __VA_ARGS__)
