#include "common/AddressCodec.h"

#include <cctype>

#include "common/Utf8.h"

namespace varnesk {
namespace {

const char hex[] = "0123456789ABCDEF";

void ClearOutputs(std::uint32_t& ip, std::uint32_t& ip2, std::uint16_t& port, std::uint32_t& id,
                  bool& lFlag, bool& sFlag) {
  ip = 0;
  ip2 = 0;
  port = 0;
  id = 0;
  lFlag = false;
  sFlag = false;
}

// Reads `digits` hex digits at `pos` into `value`; false when fewer are there.
bool ReadHexField(const std::string& text, std::size_t& pos, int digits, std::uint32_t& value) {
  if (text.size() - pos < static_cast<std::size_t>(digits)) return false;
  std::uint32_t result = 0;
  for (int i = 0; i < digits; ++i) {
    const unsigned char nibble = HexCharToChar(static_cast<unsigned char>(text[pos + i]));
    if (nibble == 255) return false;
    result = (result << 4) | nibble;
  }
  value = result;
  pos += digits;
  return true;
}

// A field may be given again only while its earlier value was zero.
bool ReadOnce(const std::string& text, std::size_t& pos, int digits, std::uint32_t& field) {
  if (field != 0) return false;
  return ReadHexField(text, pos, digits, field);
}

void AppendHex(std::string& out, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out += CharToHexString(static_cast<unsigned char>(value >> (8 * i)));
  }
}

}  // namespace

unsigned char HexCharToChar(unsigned char c) {
  if (std::isdigit(c)) return static_cast<unsigned char>(c - '0');
  const int upper = std::toupper(c);
  if (upper >= 'A' && upper <= 'F') return static_cast<unsigned char>(upper - 'A' + 10);
  return 255;
}

std::string CharToHexString(unsigned char value) {
  return std::string{hex[value >> 4], hex[value & 0x0F]};
}

Status GetIpPortFromString(const std::string& name, std::uint32_t& ip, std::uint32_t& ip2,
                           std::uint16_t& port, std::uint32_t& id, bool& lFlag, bool& sFlag) {
  ClearOutputs(ip, ip2, port, id, lFlag, sFlag);

  std::string upper;
  utf8::ToUpper(name, upper);
  const std::size_t marker = upper.rfind("_V");
  if (marker == std::string::npos) return kStatusFail;

  std::size_t pos = marker + 2;
  if (pos >= upper.size() || !std::isdigit(static_cast<unsigned char>(upper[pos]))) {
    return kStatusFail;
  }
  while (pos < upper.size() && std::isdigit(static_cast<unsigned char>(upper[pos]))) ++pos;

  std::uint32_t portValue = 0;
  bool ok = true;
  while (ok && pos < upper.size()) {
    switch (upper[pos]) {
      case 'S':
        sFlag = true;
        ok = ReadOnce(upper, ++pos, 8, ip);
        break;
      case 'A':
        ok = ReadOnce(upper, ++pos, 8, ip);
        break;
      case 'B':
        ok = ReadOnce(upper, ++pos, 8, ip2);
        break;
      case 'I':
        ok = ReadOnce(upper, ++pos, 8, id);
        break;
      case 'P':
        ok = ReadOnce(upper, ++pos, 4, portValue);
        port = static_cast<std::uint16_t>(portValue);
        break;
      case 'L':
        lFlag = true;
        ++pos;
        break;
      default:
        return kStatusOk;  // any other character ends the fields
    }
  }
  if (!ok) {
    ClearOutputs(ip, ip2, port, id, lFlag, sFlag);
    return kStatusFail;
  }
  return kStatusOk;
}

Status PutIpPortIntoString(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                           std::uint32_t id, bool lFlag, std::string& out, bool sFlag) {
  out = "_V2";
  if (ip != 0) {
    out += sFlag ? 'S' : 'A';
    AppendHex(out, ip, 4);
  }
  if (ip2 != 0) {
    out += 'B';
    AppendHex(out, ip2, 4);
  }
  if (port != 0) {
    out += 'P';
    AppendHex(out, port, 2);
  }
  if (id != 0) {
    out += 'I';
    AppendHex(out, id, 4);
  }
  if (lFlag) out += 'L';
  return kStatusOk;
}

}  // namespace varnesk
