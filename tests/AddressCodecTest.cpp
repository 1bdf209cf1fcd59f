#include <random>

#include "TestSupport.h"
#include "common/AddressCodec.h"
#include "common/Utf8.h"

namespace {

using varnesk::GetIpPortFromString;
using varnesk::PutIpPortIntoString;

struct Decoded {
  varnesk::Status status;
  std::uint32_t ip, ip2;
  std::uint16_t port;
  std::uint32_t id;
  bool lFlag, sFlag;
};

Decoded Decode(const std::string& name) {
  // Outputs start dirty: the decoder must write every one of them.
  Decoded d{0xDEAD, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFFFFFFFF, true, true};
  d.status = GetIpPortFromString(name, d.ip, d.ip2, d.port, d.id, d.lFlag, d.sFlag);
  return d;
}

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

struct DecodeRow {
  const char* name;
  bool ok;
  std::uint32_t ip, ip2;
  std::uint16_t port;
  std::uint32_t id;
  bool lFlag, sFlag;
};

TEST(AddressCodec, DecodesNames) {
  const DecodeRow rows[] = {
      {"/Users/Shared/OrvaluneClient_V2A0A010203PCF6CI00000007.app", true, Ip(10, 1, 2, 3), 0,
       53100, 7, false, false},
      {"orvaluneclient_v2sc0a82811bac100009i0000012cl.app", true, Ip(192, 168, 40, 17),
       Ip(172, 16, 0, 9), 0, 300, true, true},
      {"OrvaluneClient_V2.app", true, 0, 0, 0, 0, false, false},
      {"/Users/a_v1/Downloads/Setup.app", true, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V17PCF6C.app", true, 0, 0, 53100, 0, false, false},
      {"OrvaluneClient_V2A0A010203 (1).app", true, Ip(10, 1, 2, 3), 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A010203C.app", true, Ip(10, 1, 2, 3), 0, 0, 0, false, false},
      {"OrvaluneClient_V2A00000000A0A010203.app", true, Ip(10, 1, 2, 3), 0, 0, 0, false, false},
      {"OrvaluneClient_V2LL.app", true, 0, 0, 0, 0, true, false},
      {"OrvaluneClient_V2LA0A010203.app", true, Ip(10, 1, 2, 3), 0, 0, 0, true, false},
      {"OrvaluneClient_V2P0000PCF6C", true, 0, 0, 53100, 0, false, false},
      {"OrvaluneClient_V2ICF6C0001B7F000001", true, 0, Ip(127, 0, 0, 1), 0, 0xCF6C0001, false,
       false},
      {"_V2", true, 0, 0, 0, 0, false, false},
      {"x_V9S0A010203", true, Ip(10, 1, 2, 3), 0, 0, 0, false, true},
      {"_V2A0a0b0c0d", true, Ip(10, 11, 12, 13), 0, 0, 0, false, false},
      {"a_V1/b_V2A0A010203", true, Ip(10, 1, 2, 3), 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A0102PCF6C.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A010203_VIEW.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_VA0A010203.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A010203B.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A010203A0A010204.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2SC0A82811A0A010203.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2A0A010203SC0A82811.app", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2LA0A010203PCF6", false, 0, 0, 0, 0, false, false},
      {"OrvaluneClient_V2I0000000G", false, 0, 0, 0, 0, false, false},
      {"", false, 0, 0, 0, 0, false, false},
      {"_", false, 0, 0, 0, 0, false, false},
      {"_V", false, 0, 0, 0, 0, false, false},
      {"name_V.app", false, 0, 0, 0, 0, false, false},
  };
  for (const DecodeRow& row : rows) {
    SCOPED_TRACE(row.name);
    const Decoded d = Decode(row.name);
    EXPECT_EQ(orvtest::StatusText(d.status),
              orvtest::StatusText(row.ok ? varnesk::kStatusOk : varnesk::kStatusFail));
    EXPECT_EQ(d.ip, row.ip);
    EXPECT_EQ(d.ip2, row.ip2);
    EXPECT_EQ(d.port, row.port);
    EXPECT_EQ(d.id, row.id);
    EXPECT_EQ(d.lFlag, row.lFlag);
    EXPECT_EQ(d.sFlag, row.sFlag);
  }
}

TEST(AddressCodec, EncodesCanonicalSuffix) {
  struct Row {
    std::uint32_t ip, ip2;
    std::uint16_t port;
    std::uint32_t id;
    bool lFlag, sFlag;
    const char* expected;
  };
  const Row rows[] = {
      {Ip(10, 1, 2, 3), 0, 53100, 7, false, false, "_V2A0A010203PCF6CI00000007"},
      {Ip(192, 168, 40, 17), Ip(172, 16, 0, 9), 0, 300, true, true,
       "_V2SC0A82811BAC100009I0000012CL"},
      {0, 0, 0, 0, false, false, "_V2"},
      {0, 0, 0, 0, false, true, "_V2"},  // an S flag without an address is lost
      {0, 0, 1, 0, false, false, "_V2P0001"},
      {0xFFFFFFFF, 0, 0xFFFF, 0xFFFFFFFF, false, false, "_V2AFFFFFFFFPFFFFIFFFFFFFF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    std::string out = "previous contents";
    EXPECT_OK(PutIpPortIntoString(row.ip, row.ip2, row.port, row.id, row.lFlag, out, row.sFlag));
    EXPECT_EQ(out, row.expected);
  }
}

TEST(AddressCodec, RoundTripsRandomValues) {
  std::mt19937 rng(20261209);
  std::uniform_int_distribution<std::uint32_t> any32;
  std::uniform_int_distribution<int> coin(0, 3);
  for (int i = 0; i < 20000; ++i) {
    // Zero is a value that matters here (an absent field), so draw it often.
    const std::uint32_t ip = coin(rng) == 0 ? 0 : any32(rng);
    const std::uint32_t ip2 = coin(rng) == 0 ? 0 : any32(rng);
    const auto port = static_cast<std::uint16_t>(coin(rng) == 0 ? 0 : any32(rng));
    const std::uint32_t id = coin(rng) == 0 ? 0 : any32(rng);
    const bool lFlag = coin(rng) < 2;
    const bool sFlag = ip != 0 && coin(rng) < 2;
    std::string suffix;
    PutIpPortIntoString(ip, ip2, port, id, lFlag, suffix, sFlag);
    const std::string name = (i % 2 ? "orvaluneclient" : "/tmp/x/OrvaluneClient") + suffix +
                             (i % 3 ? ".app" : "");
    SCOPED_TRACE(name);
    const Decoded d = Decode(i % 5 ? name : [&] {
      std::string lower;
      for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return lower;
    }());
    ASSERT_OK(d.status);
    ASSERT_EQ(d.ip, ip);
    ASSERT_EQ(d.ip2, ip2);
    ASSERT_EQ(d.port, port);
    ASSERT_EQ(d.id, id);
    ASSERT_EQ(d.lFlag, lFlag);
    ASSERT_EQ(d.sFlag, sFlag);
  }
}

TEST(AddressCodec, HexDigits) {
  const std::pair<unsigned char, unsigned char> rows[] = {
      {'0', 0}, {'9', 9}, {'A', 10}, {'a', 10}, {'F', 15}, {'f', 15}, {'G', 255}, {'g', 255},
      {' ', 255}, {'/', 255}, {':', 255}, {'@', 255}, {0x00, 255}, {0xC1, 255}, {0xE1, 255},
      {0xFF, 255}};
  for (const auto& [c, value] : rows) {
    SCOPED_TRACE(static_cast<int>(c));
    EXPECT_EQ(varnesk::HexCharToChar(c), value);
  }
  EXPECT_EQ(varnesk::CharToHexString(0x00), "00");
  EXPECT_EQ(varnesk::CharToHexString(0x0F), "0F");
  EXPECT_EQ(varnesk::CharToHexString(0xAB), "AB");
  EXPECT_EQ(varnesk::CharToHexString(0xFF), "FF");
}

TEST(AddressCodec, ToUpperChangesOnlyAsciiLetters) {
  std::string out = "junk";
  varnesk::utf8::ToUpper("abc-\xC3\xA9", out);
  EXPECT_EQ(out, "ABC-\xC3\xA9");
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  varnesk::utf8::ToUpper(all, out);
  ASSERT_EQ(out.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    const int expected = (b >= 'a' && b <= 'z') ? b - 32 : b;
    EXPECT_EQ(static_cast<unsigned char>(out[b]), expected) << "byte " << b;
  }
}

}  // namespace
