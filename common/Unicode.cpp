#include "common/Unicode.h"

#include <cctype>

namespace {

// Bytes that follow a lead byte, by lead byte (continuation bytes and 0xF8-0xFF included,
// as the reference tables have them).
const signed char g_TrailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

// Subtracted from the accumulated bytes of a sequence, by its count of trailing bytes.
const std::uint64_t g_OffsetsFromUTF8[6] = {0x00000000ull, 0x00003080ull, 0x000E2080ull,
                                            0x03C82080ull, 0xFA082080ull, 0x82082080ull};

// Or-ed into the first byte of a sequence, by its length.
const unsigned char g_FirstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};

constexpr std::uint32_t kReplacementChar = 0xFFFD;
constexpr std::uint32_t kMaxLegalUtf32 = 0x10FFFF;
constexpr std::uint32_t kHighSurrogateStart = 0xD800;
constexpr std::uint32_t kHighSurrogateEnd = 0xDBFF;
constexpr std::uint32_t kLowSurrogateStart = 0xDC00;
constexpr std::uint32_t kLowSurrogateEnd = 0xDFFF;

bool IsSurrogate(std::uint64_t value) {
  return value >= kHighSurrogateStart && value <= kLowSurrogateEnd;
}

void AppendUtf8(std::string& out, std::uint32_t codePoint) {
  int length = 0;
  if (codePoint < 0x80) {
    length = 1;
  } else if (codePoint < 0x800) {
    length = 2;
  } else if (codePoint < 0x10000) {
    length = 3;
  } else if (codePoint < 0x200000) {
    length = 4;
  } else {
    codePoint = kReplacementChar;
    length = 3;
  }
  char bytes[4];
  for (int i = length - 1; i > 0; --i) {
    bytes[i] = static_cast<char>((codePoint | 0x80) & 0xBF);
    codePoint >>= 6;
  }
  bytes[0] = static_cast<char>(codePoint | g_FirstByteMark[length]);
  out.append(bytes, static_cast<std::size_t>(length));
}

void AppendUtf16(std::wstring& out, std::uint32_t value) {
  if (value < 0x10000) {
    out += static_cast<wchar_t>(value);
    return;
  }
  value -= 0x10000;
  out += static_cast<wchar_t>(kHighSurrogateStart + (value >> 10));
  out += static_cast<wchar_t>(kLowSurrogateStart + (value & 0x3FF));
}

}  // namespace

extern "C" {

bool Convert16toUTF8(const std::wstring& in, std::string& out, std::int32_t mode) {
  const bool strict = mode == 0;
  out.clear();
  for (std::size_t i = 0; i < in.size();) {
    // Read signed: a value of 0x80000000 or above is larger than any code point.
    const auto element = static_cast<std::int32_t>(in[i]);
    std::uint32_t codePoint = static_cast<std::uint32_t>(element);
    if (element < 0) codePoint = 0xFFFFFFFFu;
    ++i;
    if (element >= static_cast<std::int32_t>(kHighSurrogateStart) &&
        element <= static_cast<std::int32_t>(kHighSurrogateEnd) && i < in.size()) {
      const auto next = static_cast<std::int32_t>(in[i]);
      if (next >= static_cast<std::int32_t>(kLowSurrogateStart) &&
          next <= static_cast<std::int32_t>(kLowSurrogateEnd)) {
        codePoint = ((codePoint - kHighSurrogateStart) << 10) +
                    (static_cast<std::uint32_t>(next) - kLowSurrogateStart) + 0x10000;
        ++i;
      } else if (strict) {
        return false;
      }
    } else if (strict && element >= static_cast<std::int32_t>(kLowSurrogateStart) &&
               element <= static_cast<std::int32_t>(kLowSurrogateEnd)) {
      return false;
    }
    AppendUtf8(out, codePoint);
  }
  return true;
}

bool IsLegalUTF8(const unsigned char* source, std::int32_t length) {
  unsigned char a = 0;
  switch (length) {
    default:
      return false;
    case 4:
      if ((a = source[3]) < 0x80 || a > 0xBF) return false;
      [[fallthrough]];
    case 3:
      if ((a = source[2]) < 0x80 || a > 0xBF) return false;
      [[fallthrough]];
    case 2:
      // Every second byte is a continuation byte: after 0xF4 too, where only an upper
      // bound would let an ASCII byte such as '"' hide inside a four-byte sequence.
      if ((a = source[1]) < 0x80 || a > 0xBF) return false;
      switch (source[0]) {
        case 0xE0:
          if (a < 0xA0) return false;
          break;
        case 0xF0:
          if (a < 0x90) return false;
          break;
        case 0xF4:
          if (a > 0x8F) return false;
          break;
        default:
          if (a < 0x80) return false;
      }
      [[fallthrough]];
    case 1:
      if (source[0] >= 0x80 && source[0] < 0xC2) return false;
  }
  return source[0] <= 0xF4;
}

bool IsLegalUTF8Sequence(const unsigned char* source, const unsigned char* sourceEnd) {
  const int length = g_TrailingBytesForUTF8[*source] + 1;
  if (length > sourceEnd - source) return false;
  return IsLegalUTF8(source, length);
}

bool Convert8toUTF16(const std::string& in, std::wstring& out, std::int32_t mode) {
  const bool strict = mode == 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
  out.clear();
  for (std::size_t i = 0; i < in.size();) {
    const int count = g_TrailingBytesForUTF8[bytes[i]];
    if (i + static_cast<std::size_t>(count) >= in.size()) return false;  // cut off
    if (!IsLegalUTF8(bytes + i, count + 1)) return false;
    std::uint64_t value = 0;
    for (int k = 0; k <= count; ++k) {
      value += bytes[i + static_cast<std::size_t>(k)];
      if (k < count) value <<= 6;
    }
    value -= g_OffsetsFromUTF8[count];
    i += static_cast<std::size_t>(count) + 1;

    if (value <= 0xFFFF) {
      if (IsSurrogate(value) && strict) return false;
      out += static_cast<wchar_t>(value);
    } else if (value > kMaxLegalUtf32) {
      if (strict) return false;
      out += static_cast<wchar_t>(kReplacementChar);
    } else {
      AppendUtf16(out, static_cast<std::uint32_t>(value));
    }
  }
  return true;
}

bool Convert8toUTF16_Method2(const std::string& in, std::wstring& out) {
  out.clear();
  std::uint32_t codePoint = 0;
  // Read as a NUL-terminated string.
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in.c_str()); *p; ++p) {
    const unsigned char b = *p;
    if (b < 0x80) {
      codePoint = b;
    } else if (b <= 0xBF) {
      codePoint = (codePoint << 6) | (b & 0x3F);
    } else if (b <= 0xDF) {
      codePoint = b & 0x1F;
    } else if (b <= 0xEF) {
      codePoint = b & 0x0F;
    } else {
      codePoint = b & 0x07;
    }
    const bool nextContinues = (p[1] & 0xC0) == 0x80;
    if (!nextContinues && codePoint <= kMaxLegalUtf32) {
      if (codePoint >= 0x10000) {
        AppendUtf16(out, codePoint);
      } else if (!IsSurrogate(codePoint)) {
        out += static_cast<wchar_t>(codePoint);
      }
    }
  }
  return true;
}

void ToUpper(std::wstring& text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::toupper(static_cast<int>(c)));
}

void ToLower(std::wstring& text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::tolower(static_cast<int>(c)));
}

void ToUpperUTF8(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<signed char>(c)));
}

void ToLowerUTF8(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<signed char>(c)));
}

}  // extern "C"
