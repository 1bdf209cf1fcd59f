#pragma once
// Byte-string helpers of the varnesk::utf8 namespace used by the installer itself.
#include <cstdint>
#include <sstream>
#include <string>

namespace varnesk {
namespace utf8 {

/// Assigns `text` to `out`, then maps each byte (as a signed char) through toupper of
/// the current locale. In the classic locale only a-z change; the length never does.
void ToUpper(const std::string& text, std::string& out);

/// Dotted quad of an IPv4 address held with its first octet in the top byte.
inline std::string Uint32ToIpv4String(unsigned int address) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!text.empty()) text += '.';
    text += std::to_string((address >> shift) & 0xFFu);
  }
  return text;
}

/// Decimal text of an integer as a default-formatted output stream writes it.
template <typename T>
inline std::string string_cast(T value) {
  std::ostringstream stream;
  stream << value;
  return stream.str();
}

}  // namespace utf8
}  // namespace varnesk
