#pragma once
// The address suffix carried in an installer bundle's name, for example
// "OrvaluneClient_V2A0A010203PCF6CI00000007.app":
//   "_V" <version digits> then fields, each a marker and fixed-width hex digits:
//   A/S first address (8, S marks a discovery service), B second address (8),
//   P port (4), I identifier (8), L a flag without digits.
// Zero values are never written and absent fields decode as zero.
#include <cstdint>
#include <string>

#include "common/Status.h"

namespace varnesk {

/// Decodes the suffix after the last "_V" (any case) of `name`, a bare bundle name or
/// a whole path. Every output is written. A character that is not a marker ends the
/// fields successfully. On a fault (no "_V<digit>", a field with too few digits, a
/// field given twice with a non-zero value) all outputs are zero/false again and the
/// result is kStatusFail.
Status GetIpPortFromString(const std::string& name, std::uint32_t& ip, std::uint32_t& ip2,
                           std::uint16_t& port, std::uint32_t& id, bool& lFlag, bool& sFlag);

/// Replaces `out` with the canonical suffix, from "_V2" on (fields in the order
/// A|S, B, P, I, L; zero fields left out; an S flag without an address is lost).
/// Always returns kStatusOk.
Status PutIpPortIntoString(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port,
                           std::uint32_t id, bool lFlag, std::string& out, bool sFlag);

/// Value of an ASCII hexadecimal digit of either case; 255 for any other byte.
unsigned char HexCharToChar(unsigned char c);

/// Two upper-case hex digits of `value`, high nibble first.
std::string CharToHexString(unsigned char value);

}  // namespace varnesk
