#include "common/StringUtils.h"

#include <algorithm>
#include <cctype>
#include <locale>
#include <sstream>

#include "common/Unicode.h"

namespace varnesk {
namespace {

bool IsSpace(char c) { return std::isspace(static_cast<signed char>(c)) != 0; }

// The part of `text` from `first` to `last` (inclusive), read as a NUL-terminated string.
std::wstring KeptPart(const std::wstring& text, std::size_t first, std::size_t last) {
  const std::size_t nul = text.find(L'\0');
  if (nul != std::wstring::npos && nul < first) return std::wstring();
  const std::size_t end = std::min(last + 1, nul == std::wstring::npos ? text.size() : nul);
  return end > first ? text.substr(first, end - first) : std::wstring();
}

template <typename String>
String ReplaceAll(const String& text, const String& search, const String& replacement) {
  String result = text;
  if (search.empty() || search == replacement) return result;
  // A one-character search text that ends its replacement would match again at the
  // same place forever; resume after the whole replacement then.
  const bool wouldRepeat = search.size() == 1 && !replacement.empty() &&
                           replacement.back() == search.front();
  std::size_t pos = 0;
  while (pos <= result.size()) {
    const std::size_t match = result.find(search, pos);
    if (match == String::npos) break;
    result.replace(match, search.size(), replacement);
    if (replacement.empty()) {
      pos = match;
    } else if (wouldRepeat) {
      pos = match + replacement.size();
    } else {
      pos = match + replacement.size() - 1;
    }
  }
  return result;
}

}  // namespace

void TrimLeftInplace(std::string& text) {
  std::size_t first = 0;
  while (first < text.size() && IsSpace(text[first])) ++first;
  text.erase(0, first);
}

void TrimRightInplace(std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && IsSpace(text[end - 1])) --end;
  text.erase(end);
}

void TrimInplace(std::string& text) {
  TrimRightInplace(text);
  TrimLeftInplace(text);
}

void TrimLeftInplace(std::wstring& text, const std::wstring& set) {
  const std::size_t first = text.find_first_not_of(set);
  text = first == std::wstring::npos ? std::wstring() : KeptPart(text, first, text.size() - 1);
}

void TrimRightInplace(std::wstring& text, const std::wstring& set) {
  const std::size_t last = text.find_last_not_of(set);
  if (last == std::wstring::npos) {
    text.clear();
  } else {
    text.erase(last + 1);
  }
}

void TrimInplace(std::wstring& text, const std::wstring& set) {
  const std::size_t first = text.find_first_not_of(set);
  text = first == std::wstring::npos ? std::wstring()
                                     : KeptPart(text, first, text.find_last_not_of(set));
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  if (separator.empty()) return {text};
  std::vector<std::string> parts;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t match = text.find(separator, pos);
    parts.push_back(text.substr(pos, match == std::string::npos ? std::string::npos : match - pos));
    if (match == std::string::npos || pos >= text.size()) break;
    pos = match + separator.size();
    if (pos >= text.size()) break;
  }
  return parts;
}

std::pair<std::string, std::string> Split2(const std::string& text, const std::string& separator) {
  const std::size_t pos = separator.empty() ? std::string::npos : text.find(separator);
  if (pos == std::string::npos) return {text, std::string()};
  return {text.substr(0, pos), text.substr(pos + 1)};
}

namespace utf8 {

bool Utf8StringContainsSurrogateCharacters(const std::string& text) {
  std::wstring wide;
  Convert8toUTF16_Method2(text, wide);
  for (wchar_t c : wide) {
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

std::vector<std::string> split(const std::string& text, char delimiter) {
  std::vector<std::string> parts;
  std::istringstream stream(text);
  for (std::string part; std::getline(stream, part, delimiter);) parts.push_back(part);
  return parts;
}

std::vector<std::string> split(const std::string& text, char delimiter, bool keepTrailingEmpty) {
  std::vector<std::string> parts = split(text, delimiter);
  if (keepTrailingEmpty && !text.empty() && text.back() == delimiter) parts.emplace_back();
  return parts;
}

std::string join(const std::vector<std::string>& parts, char separator) {
  std::string text;
  for (const std::string& part : parts) {
    text += part;
    text += separator;
  }
  if (!text.empty()) text.erase(text.size() - 1);
  return text;
}

std::vector<std::string> tokenize(const std::string& text) {
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (b < 0x80) {
      length = 1;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
    } else {
      ++i;  // a continuation byte or 0xF8-0xFF on its own
      continue;
    }
    if (i + length > text.size()) break;  // a cut-off sequence ends the text
    tokens.push_back(text.substr(i, length));
    i += length;
  }
  return tokens;
}

std::string substr(const std::string& text, std::int32_t count) {
  if (count <= 0) return std::string();
  std::int32_t characters = 0;
  for (std::size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80 || b >= 0xC0) {
      if (characters == count) return text.substr(0, i);
      ++characters;
    }
  }
  return text;
}

std::string replace(const std::string& text, const std::string& search,
                    const std::string& replacement) {
  return ReplaceAll(text, search, replacement);
}

std::wstring widen(const std::string& text) {
  // The classic locale's wide facet maps each byte; on glibc bytes 0x80-0xFF come back
  // as WEOF, which a wide stream refuses to write and then drops everything after it.
  // Appending the facet's answers directly keeps one wide character per byte.
  const auto& facet = std::use_facet<std::ctype<wchar_t>>(std::locale::classic());
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide += facet.widen(static_cast<signed char>(c));
  return wide;
}

}  // namespace utf8

namespace utf16 {

std::wstring replace(const std::wstring& text, const std::wstring& search,
                     const std::wstring& replacement) {
  return ReplaceAll(text, search, replacement);
}

std::string narrow(const std::wstring& text) {
  std::ostringstream stream;
  const auto& facet = std::use_facet<std::ctype<char>>(stream.getloc());
  for (wchar_t c : text) stream << facet.narrow(static_cast<char>(c & 0xFF), '\0');
  return stream.str();
}

}  // namespace utf16
}  // namespace varnesk
