#include <cstdarg>

#include "platform/SystemLog.h"

namespace platform {

void WriteLog(LogType type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = FormatLogMessageV(format, args);
  va_end(args);

  if (DeliverToSink(type, message)) return;
  WriteToSyslog(type, message);
}

}  // namespace platform
