#pragma once
// String helpers of the varnesk namespaces: trimming, splitting, joining, tokenizing,
// cutting, replacing, widening/narrowing and formatting.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace varnesk {

/// Remove ASCII white space (isspace in the classic locale) at the start, end or both.
void TrimLeftInplace(std::string& text);
void TrimRightInplace(std::string& text);
void TrimInplace(std::string& text);

/// Remove the characters of `set` at the start, end or both. The kept part of the left
/// and two-sided forms ends at the string's first NUL.
void TrimLeftInplace(std::wstring& text, const std::wstring& set);
void TrimRightInplace(std::wstring& text, const std::wstring& set);
void TrimInplace(std::wstring& text, const std::wstring& set);

/// Split at every `separator`: empty fields at the start and between separators stay, a
/// separator at the very end gives no trailing field; "" gives {""}; an empty separator
/// gives {text}.   Split("a,,b,", ",") == {"a", "", "b"}
std::vector<std::string> Split(const std::string& text, const std::string& separator);

/// Split once at the first `separator`; the second part starts one character after the
/// separator's start.   Split2("a::b", "::") == {"a", ":b"}; no match gives {text, ""}.
std::pair<std::string, std::string> Split2(const std::string& text, const std::string& separator);

namespace utf8 {

/// True when the UTF-8 text holds a character outside the Basic Multilingual Plane.
bool Utf8StringContainsSurrogateCharacters(const std::string& text);

/// Split at every `delimiter` as a line reader does: "a,,b" -> {a, "", b}; "a," -> {a};
/// "" -> {}. With `keepTrailingEmpty`, "a," -> {a, ""}.
std::vector<std::string> split(const std::string& text, char delimiter);
std::vector<std::string> split(const std::string& text, char delimiter, bool keepTrailingEmpty);

/// Parts joined with `separator` between them.
std::string join(const std::vector<std::string>& parts, char separator);

/// One element per UTF-8 character; stray bytes are skipped, a cut-off last sequence ends it.
std::vector<std::string> tokenize(const std::string& text);

/// The first `count` UTF-8 characters (up to the first NUL when counting).
std::string substr(const std::string& text, std::int32_t count);

/// Replaces every `search` by `replacement`, resuming on the last character of each
/// inserted replacement ("abb", "ab" -> "xa" gives "xxa"); after the whole replacement
/// when `search` is one character that ends the replacement.
std::string replace(const std::string& text, const std::string& search,
                    const std::string& replacement);

/// One wide character per byte, through the classic locale's widen (no UTF-8 decoding).
std::wstring widen(const std::string& text);

/// printf-style formatting; "" on any failure.
std::string format(const char* format, ...);
std::string formatV(const char* format, va_list args);

}  // namespace utf8

namespace utf16 {

std::wstring replace(const std::wstring& text, const std::wstring& search,
                     const std::wstring& replacement);

/// The low 8 bits of each wide character.
std::string narrow(const std::wstring& text);

/// printf-style wide formatting; L"" on any failure.
std::wstring format(const wchar_t* format, ...);
std::wstring formatV(const wchar_t* format, va_list args);

}  // namespace utf16
}  // namespace varnesk
