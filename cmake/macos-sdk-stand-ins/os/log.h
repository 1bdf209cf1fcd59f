/*
 * Stands in for the macOS SDK's <os/log.h>, for the Linux cross build of the macOS
 * installer only (cmake/ZigMacToolchain.cmake puts this folder on the include path):
 * Zig's macOS headers carry no unified-logging header. A build on a Mac with Apple's
 * SDK never sees this file.
 *
 * It declares exactly the part of the API this project uses, in the public shape of
 * the SDK's header, so that the code compiles and links as it would there:
 *  - os_log_with_type() asks os_log_type_enabled(), then packs its arguments with
 *    __builtin_os_log_format into a buffer sized by __builtin_os_log_format_buffer_size
 *    and hands format and buffer to _os_log_impl(). Clang checks every format string
 *    and its arguments against the os_log rules (the "%{public}" qualifiers included),
 *    and -Werror turns a mismatch into a build failure.
 *  - The format string lies in __TEXT,__oslogstring, where the log reader finds it.
 *  - The functions and the default log object are marked as introduced in macOS 10.12,
 *    so a use without an availability check is reported for older deployment targets.
 * The symbols (_os_log_impl, _os_log_type_enabled, _os_log_default) are libSystem's.
 */
#ifndef ORVALUNE_STAND_IN_OS_LOG_H
#define ORVALUNE_STAND_IN_OS_LOG_H

#include <os/availability.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct mach_header;
struct os_log_s;
typedef struct os_log_s *os_log_t;

typedef uint8_t os_log_type_t;
#define OS_LOG_TYPE_INFO ((os_log_type_t)0x01)
#define OS_LOG_TYPE_ERROR ((os_log_type_t)0x10)

/* The image whose __oslogstring section holds the format (the linker defines it). */
extern struct mach_header __dso_handle;

API_AVAILABLE(macos(10.12))
extern struct os_log_s _os_log_default;
#define OS_LOG_DEFAULT (&_os_log_default)

API_AVAILABLE(macos(10.12))
bool os_log_type_enabled(os_log_t log, os_log_type_t type);

API_AVAILABLE(macos(10.12))
void _os_log_impl(void *dso, os_log_t log, os_log_type_t type, const char *format,
                  uint8_t *buffer, uint32_t size);

#define os_log_with_type(log, type, format, ...)                                        \
  __extension__({                                                                       \
    os_log_t _os_log_log = (log);                                                       \
    os_log_type_t _os_log_type = (type);                                                \
    if (os_log_type_enabled(_os_log_log, _os_log_type)) {                               \
      __attribute__((section("__TEXT,__oslogstring,cstring_literals"))) static const    \
          char _os_log_format[] = format;                                               \
      __attribute__((aligned(16))) uint8_t                                              \
          _os_log_buffer[__builtin_os_log_format_buffer_size(format, ##__VA_ARGS__)];   \
      _os_log_impl(&__dso_handle, _os_log_log, _os_log_type, _os_log_format,            \
                   (uint8_t *)__builtin_os_log_format(_os_log_buffer, format,           \
                                                      ##__VA_ARGS__),                   \
                   (uint32_t)sizeof(_os_log_buffer));                                   \
    }                                                                                   \
  })

#ifdef __cplusplus
}
#endif

#endif
