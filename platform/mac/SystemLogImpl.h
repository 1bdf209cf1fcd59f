#pragma once
// macOS back end: os_log itself, default log object, from macOS 10.12 on; syslog(3)
// before that, where the unified log does not exist (the installer supports 10.10).
// A test sink, when installed, receives the message formatted by the portable
// formatter instead. os_log_with_type gets the original format and arguments, so the
// compiler checks them and the log keeps the arguments apart from the format.
#include <os/log.h>

#define ORV_LOG_WITH_TYPE_(osType, sinkType, format, ...)                                  \
  do {                                                                                    \
    const std::string orvLogMessage_ = ::platform::FormatLogMessage(format, ##__VA_ARGS__); \
    if (!::platform::DeliverToSink(sinkType, orvLogMessage_)) {                           \
      if (__builtin_available(macOS 10.12, *)) {                                          \
        os_log_with_type(OS_LOG_DEFAULT, osType, format, ##__VA_ARGS__);                   \
      } else {                                                                            \
        ::platform::WriteToSyslog(sinkType, orvLogMessage_);                              \
      }                                                                                   \
    }                                                                                     \
  } while (0)

#define ORV_LOG_INFO(format, ...) \
  ORV_LOG_WITH_TYPE_(OS_LOG_TYPE_INFO, ::platform::LogType::kInfo, format, ##__VA_ARGS__)
#define ORV_LOG_ERROR(format, ...) \
  ORV_LOG_WITH_TYPE_(OS_LOG_TYPE_ERROR, ::platform::LogType::kError, format, ##__VA_ARGS__)
