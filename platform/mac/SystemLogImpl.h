#pragma once
// macOS back end: os_log itself, default log object. A test sink, when installed,
// receives the message formatted by the portable formatter instead.
#include <os/log.h>

#define ORV_LOG_WITH_TYPE_(osType, sinkType, format, ...)                                    \
  do {                                                                                      \
    if (!::platform::DeliverToSink(sinkType,                                                \
                                   ::platform::FormatLogMessage(format, ##__VA_ARGS__))) { \
      os_log_with_type(OS_LOG_DEFAULT, osType, format, ##__VA_ARGS__);                       \
    }                                                                                       \
  } while (0)

#define ORV_LOG_INFO(format, ...) \
  ORV_LOG_WITH_TYPE_(OS_LOG_TYPE_INFO, ::platform::LogType::kInfo, format, ##__VA_ARGS__)
#define ORV_LOG_ERROR(format, ...) \
  ORV_LOG_WITH_TYPE_(OS_LOG_TYPE_ERROR, ::platform::LogType::kError, format, ##__VA_ARGS__)
