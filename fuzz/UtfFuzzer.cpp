// The UTF converters and string helpers never crash; strict conversions of valid input
// round-trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/StringUtils.h"
#include "common/Unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string narrow(reinterpret_cast<const char*>(data), size);

  std::wstring wide;
  std::string back;
  if (Convert8toUTF16(narrow, wide, 0)) {
    if (!Convert16toUTF8(wide, back, 0) || back != narrow) std::abort();
  }
  Convert8toUTF16(narrow, wide, 1);
  Convert8toUTF16_Method2(narrow, wide);
  varnesk::utf8::Utf8StringContainsSurrogateCharacters(narrow);
  if (size > 0) IsLegalUTF8Sequence(data, data + size);

  // The same bytes as UTF-16 code units, four bytes each.
  std::wstring units(size / 4, L'\0');
  std::memcpy(units.data(), data, units.size() * 4);
  // Valid UTF-16: code units only, every surrogate in a high-low pair. (Larger values
  // are replaced, and a high surrogate at the very end is written as it is.)
  bool valid = true;
  for (std::size_t i = 0; valid && i < units.size(); ++i) {
    const auto u = static_cast<std::int64_t>(units[i]);
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool nextLow = i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
    if (u < 0 || u > 0xFFFF || (u >= 0xDC00 && u <= 0xDFFF) || (high && !nextLow)) valid = false;
    if (high && nextLow) ++i;
  }
  if (Convert16toUTF8(units, back, 0) && valid) {
    std::wstring again;
    if (!Convert8toUTF16(back, again, 0) || again != units) std::abort();
  }
  Convert16toUTF8(units, back, 1);

  varnesk::utf8::tokenize(narrow);
  varnesk::utf8::substr(narrow, static_cast<std::int32_t>(size % 7));
  varnesk::utf8::split(narrow, ',', true);
  varnesk::Split(narrow, size > 2 ? narrow.substr(0, 2) : ",");
  varnesk::Split2(narrow, "=");
  varnesk::utf8::replace(narrow, size > 1 ? narrow.substr(0, 1) : "a", "ab");
  std::string trimmed = narrow;
  varnesk::TrimInplace(trimmed);
  std::wstring wideTrim = units;
  varnesk::TrimInplace(wideTrim, L" \t");
  varnesk::utf16::narrow(varnesk::utf8::widen(narrow));
  return 0;
}
