#include "common/Utf8.h"

#include <cctype>

namespace varnesk {
namespace utf8 {

void ToUpper(const std::string& text, std::string& out) {
  out = text;
  for (char& c : out) {
    // The byte goes in as the signed char it is, as the C library's own callers pass it.
    c = static_cast<char>(std::toupper(static_cast<signed char>(c)));
  }
}

}  // namespace utf8
}  // namespace varnesk
