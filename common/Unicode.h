#pragma once
// The library's plain layer: UTF conversions, UTF-8 checks, case mapping and printf-style
// formatting, exported under unmangled names.
//
// Wide strings hold one UTF-16 code unit per element: a character above U+FFFF takes a
// high and a low surrogate. Conversions never throw for bad input; they return false and
// keep in the output what was converted before the offending input.
#include <cstdarg>
#include <cstdint>
#include <string>

extern "C" {

/// UTF-16 to UTF-8. `mode` 0 is strict (unpaired surrogates fail); any other value is
/// lenient (they are written as their three-byte forms). Values of 0x200000 and above
/// (and negative ones) become U+FFFD.
bool Convert16toUTF8(const std::wstring& in, std::string& out, std::int32_t mode);

/// Validating UTF-8 to UTF-16. Strict mode (0) rejects surrogate values and values above
/// U+10FFFF; lenient mode keeps surrogates and writes U+FFFD for the others. Cut-off or
/// ill-formed sequences fail in both modes.
bool Convert8toUTF16(const std::string& in, std::wstring& out, std::int32_t mode);

/// Forgiving UTF-8 to UTF-16: reads up to the first NUL, never fails, drops what it
/// cannot use. Always returns true.
bool Convert8toUTF16_Method2(const std::string& in, std::wstring& out);

/// One UTF-8 sequence of `length` (1-4) bytes is well formed.
bool IsLegalUTF8(const unsigned char* source, std::int32_t length);
/// The sequence at `source` fits before `sourceEnd` and is well formed.
bool IsLegalUTF8Sequence(const unsigned char* source, const unsigned char* sourceEnd);

/// Case mapping through toupper/tolower of the current locale, element by element.
void ToUpper(std::wstring& text);
void ToLower(std::wstring& text);
void ToUpperUTF8(std::string& text);
void ToLowerUTF8(std::string& text);

/// printf-style formatting into `target` (replaced), or appended to it. A formatting
/// failure gives an empty target; an allocation failure leaves it as it was.
void FormatString(std::wstring& target, const wchar_t* format, ...);
void FormatStringV(std::wstring& target, const wchar_t* format, va_list args);
void AppendFormat(std::wstring& target, const wchar_t* format, ...);
void FormatStringA(std::string& target, const char* format, ...);

}  // extern "C"
