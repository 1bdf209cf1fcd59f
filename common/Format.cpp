// printf-style formatting into narrow and wide strings.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <limits>
#include <vector>

#include "common/StringUtils.h"
#include "common/Unicode.h"

namespace {

// Formats into `out`; false only when an allocation failed (the target stays as it was).
// Formatting failures give true and an empty `out`.
bool TryFormatNarrow(const char* format, va_list args, std::string& out) {
  try {
    out.clear();
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return true;
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    va_list write;
    va_copy(write, args);
    std::vsnprintf(buffer.data(), buffer.size(), format, write);
    va_end(write);
    out.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
  } catch (...) {
    return false;
  }
}

// vswprintf does not say how much room it needs: try 10, 20, 40, ... wide characters
// until a try fits, each in a buffer of its own. A format it keeps rejecting gives up
// once the capacity would leave the 32-bit range.
bool TryFormatWide(const wchar_t* format, va_list args, std::wstring& out) {
  try {
    out.clear();
    std::int32_t capacity = 10;
    int length = -1;
    for (;;) {
      void* trial = std::malloc(static_cast<std::size_t>(capacity) * 4 + 1);
      if (trial == nullptr) return true;
      va_list attempt;
      va_copy(attempt, args);
      length = std::vswprintf(static_cast<wchar_t*>(trial), static_cast<std::size_t>(capacity),
                              format, attempt);
      va_end(attempt);
      std::free(trial);
      if (length != -1 && length < capacity) break;
      if (capacity > std::numeric_limits<std::int32_t>::max() / 2) return true;
      capacity *= 2;
    }
    if (length <= 0) return true;
    std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
    va_list write;
    va_copy(write, args);
    std::vswprintf(buffer.data(), buffer.size(), format, write);
    va_end(write);
    out.assign(buffer.data(), static_cast<std::size_t>(length));
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

extern "C" {

void FormatStringV(std::wstring& target, const wchar_t* format, va_list args) {
  std::wstring text;
  if (TryFormatWide(format, args, text)) target.swap(text);
}

void FormatString(std::wstring& target, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatStringV(target, format, args);
  va_end(args);
}

void AppendFormat(std::wstring& target, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text;
  const bool formatted = TryFormatWide(format, args, text);
  va_end(args);
  if (!formatted) return;
  if (text.empty()) {
    target.clear();
  } else {
    target += text;
  }
}

void FormatStringA(std::string& target, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text;
  if (TryFormatNarrow(format, args, text)) target.swap(text);
  va_end(args);
}

}  // extern "C"

namespace varnesk {
namespace utf8 {

std::string formatV(const char* format, va_list args) {
  std::string text;
  TryFormatNarrow(format, args, text);
  return text;
}

std::string format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatV(format, args);
  va_end(args);
  return text;
}

}  // namespace utf8

namespace utf16 {

std::wstring formatV(const wchar_t* format, va_list args) {
  std::wstring text;
  TryFormatWide(format, args, text);
  return text;
}

std::wstring format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = formatV(format, args);
  va_end(args);
  return text;
}

}  // namespace utf16
}  // namespace varnesk
