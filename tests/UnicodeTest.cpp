#include <cwchar>

#include "TestSupport.h"
#include "common/StringUtils.h"
#include "common/Unicode.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::wstring Wide(std::initializer_list<long> values) {
  std::wstring s;
  for (long v : values) s += static_cast<wchar_t>(v);
  return s;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    out += buf;
  }
  return out;
}

std::string Hex(const std::wstring& wide) {
  std::string out;
  char buf[16];
  for (wchar_t c : wide) {
    std::snprintf(buf, sizeof buf, "%04lX ", static_cast<unsigned long>(static_cast<std::uint32_t>(c)));
    out += buf;
  }
  return out;
}

TEST(Convert16toUTF8, Table) {
  struct Row {
    const char* label;
    std::wstring in;
    int mode;
    bool ok;
    std::string out;
  };
  const Row rows[] = {
      {"pair", Wide({0xD83D, 0xDE00}), 0, true, Bytes({0xF0, 0x9F, 0x98, 0x80})},
      {"lone low strict", Wide({0xDC00}), 0, false, ""},
      {"lone low lenient", Wide({0xDC00}), 1, true, Bytes({0xED, 0xB0, 0x80})},
      {"high then A strict", Wide({0xD800, 0x41}), 0, false, ""},
      {"high then A lenient", Wide({0xD800, 0x41}), 7, true, Bytes({0xED, 0xA0, 0x80, 0x41})},
      {"last high strict", Wide({0xD800}), 0, true, Bytes({0xED, 0xA0, 0x80})},
      {"0x110000", Wide({0x110000}), 0, true, Bytes({0xF4, 0x90, 0x80, 0x80})},
      {"0x200000", Wide({0x200000}), 0, true, Bytes({0xEF, 0xBF, 0xBD})},
      {"negative", Wide({-1}), 0, true, Bytes({0xEF, 0xBF, 0xBD})},
      {"boundaries", Wide({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}), 0, true,
       Bytes({0x7F, 0xC2, 0x80, 0xDF, 0xBF, 0xE0, 0xA0, 0x80, 0xEF, 0xBF, 0xBF})},
      {"partial output kept", Wide({0x41, 0x42, 0xDC00, 0x43}), 0, false, "AB"},
      {"empty", L"", 0, true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::string out = "junk";
    EXPECT_EQ(Convert16toUTF8(row.in, out, row.mode), row.ok);
    EXPECT_EQ(Hex(out), Hex(row.out));
  }
}

TEST(Convert8toUTF16, Table) {
  struct Row {
    const char* label;
    std::string in;
    int mode;
    bool ok;
    std::wstring out;
  };
  const Row rows[] = {
      {"two bytes", Bytes({0xC3, 0xA9}), 0, true, Wide({0xE9})},
      {"four bytes", Bytes({0xF0, 0x9F, 0x98, 0x80}), 0, true, Wide({0xD83D, 0xDE00})},
      {"cut off", Bytes({0xC3}), 0, false, L""},
      {"overlong after ab", Bytes({0x61, 0x62, 0xC0, 0xAF}), 0, false, L"ab"},
      {"surrogate strict", Bytes({0xED, 0xA0, 0x80}), 0, false, L""},
      {"surrogate lenient", Bytes({0xED, 0xA0, 0x80}), 1, true, Wide({0xD800})},
      {"first of each length", Bytes({0x00, 0xC2, 0x80, 0xE0, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80}),
       0, true, Wide({0x0000, 0x0080, 0x0800, 0xD800, 0xDC00})},
      {"last of each length", Bytes({0x7F, 0xDF, 0xBF, 0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}),
       0, true, Wide({0x7F, 0x7FF, 0xFFFF, 0xDBFF, 0xDFFF})},
      {"U+110000 strict", Bytes({0xF4, 0x90, 0x80, 0x80}), 0, false, L""},
      {"U+110000 lenient", Bytes({0xF4, 0x90, 0x80, 0x80}), 1, false, L""},
      {"overlong three", Bytes({0xE0, 0x9F, 0x80}), 0, false, L""},
      {"stray continuation", Bytes({0x41, 0x80}), 1, false, L"A"},
      {"five-byte lead", Bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), 1, false, L""},
      {"cut-off four", Bytes({0x41, 0xF0, 0x9F, 0x98}), 0, false, L"A"},
      {"empty", "", 0, true, L""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    std::wstring out = L"junk";
    EXPECT_EQ(Convert8toUTF16(row.in, out, row.mode), row.ok);
    EXPECT_EQ(Hex(out), Hex(row.out));
  }
}

TEST(Convert8toUTF16, EveryCodePointRoundTrips) {
  std::wstring wide;
  std::string narrow;
  std::string back;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    narrow.clear();
    std::wstring single(1, static_cast<wchar_t>(cp));
    if (cp >= 0x10000) {
      single = Wide({static_cast<long>(0xD800 + ((cp - 0x10000) >> 10)),
                     static_cast<long>(0xDC00 + ((cp - 0x10000) & 0x3FF))});
    }
    ASSERT_TRUE(Convert16toUTF8(single, narrow, 0)) << cp;
    ASSERT_TRUE(Convert8toUTF16(narrow, wide, 0)) << cp;
    ASSERT_EQ(wide, single) << cp;
    ASSERT_TRUE(Convert16toUTF8(wide, back, 0)) << cp;
    ASSERT_EQ(back, narrow) << cp;
  }
}

TEST(IsLegalUTF8, Table) {
  struct Row {
    std::string bytes;
    int length;
    bool legal;
  };
  const Row rows[] = {
      {Bytes({0x41, 0x80, 0x80, 0x80, 0x80}), 5, false},
      {Bytes({0xE0, 0x9F, 0x80}), 3, false},
      {Bytes({0xE0, 0xA0, 0x80}), 3, true},
      {Bytes({0xF4, 0x90, 0x80, 0x80}), 4, false},
      {Bytes({0xF5, 0x80, 0x80, 0x80}), 4, false},
      {Bytes({0xC1, 0xBF}), 2, false},
      {Bytes({0xC2, 0x80}), 2, true},
      {Bytes({0xED, 0xA0, 0x80}), 3, true},  // surrogates pass this check
      {Bytes({0xF0, 0x8F, 0xBF, 0xBF}), 4, false},
      {Bytes({0xF4, 0x8F, 0xBF, 0xBF}), 4, true},
      {Bytes({0x80}), 1, false},
      {Bytes({0x7F}), 1, true},
      {Bytes({0x41}), 0, false},
      {Bytes({0xF4, 0x22, 0x98, 0xAB}), 4, false},  // an ASCII byte is no continuation
      {Bytes({0xF4, 0x80, 0x80, 0x80}), 4, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Hex(row.bytes));
    EXPECT_EQ(IsLegalUTF8(reinterpret_cast<const unsigned char*>(row.bytes.data()), row.length),
              row.legal);
  }
  const std::string seq = Bytes({0xE2, 0x82, 0xAC});
  const auto* p = reinterpret_cast<const unsigned char*>(seq.data());
  EXPECT_TRUE(IsLegalUTF8Sequence(p, p + 3));
  EXPECT_FALSE(IsLegalUTF8Sequence(p, p + 2));
}

TEST(Convert8toUTF16_Method2, Table) {
  const std::pair<std::string, std::wstring> rows[] = {
      {Bytes({0x61, 0x00, 0x62}), L"a"},
      {Bytes({0xF0, 0x9F, 0x98, 0x80}), Wide({0xD83D, 0xDE00})},
      {Bytes({0xED, 0xA0, 0x80}), L""},
      {Bytes({0x80}), Wide({0x0000})},
      {Bytes({0xC3}), Wide({0x03})},
      {"", L""},
  };
  for (const auto& [in, expected] : rows) {
    SCOPED_TRACE(Hex(in));
    std::wstring out = L"junk";
    EXPECT_TRUE(Convert8toUTF16_Method2(in, out));
    EXPECT_EQ(Hex(out), Hex(expected));
  }
  EXPECT_FALSE(varnesk::utf8::Utf8StringContainsSurrogateCharacters("plain ascii"));
  EXPECT_FALSE(varnesk::utf8::Utf8StringContainsSurrogateCharacters(Bytes({0xC3, 0xA9})));
  EXPECT_TRUE(varnesk::utf8::Utf8StringContainsSurrogateCharacters(Bytes({0x61, 0xF0, 0x9F, 0x98, 0x80})));
}

TEST(CaseMapping, OnlyAsciiLettersChange) {
  std::string narrow = "abc-XYZ-" + Bytes({0xC3, 0xA9});
  ToUpperUTF8(narrow);
  EXPECT_EQ(narrow, "ABC-XYZ-" + Bytes({0xC3, 0xA9}));
  ToLowerUTF8(narrow);
  EXPECT_EQ(narrow, "abc-xyz-" + Bytes({0xC3, 0xA9}));
  std::wstring wide = Wide({'a', 'Z', 0xE9, 0x430, 0x1F600});
  ToUpper(wide);
  EXPECT_EQ(Hex(wide), Hex(Wide({'A', 'Z', 0xE9, 0x430, 0x1F600})));
  ToLower(wide);
  EXPECT_EQ(Hex(wide), Hex(Wide({'a', 'z', 0xE9, 0x430, 0x1F600})));
}

TEST(WideFormat, GrowsPastTheFirstCapacities) {
  for (int length : {9, 10, 11, 25, 10000}) {
    SCOPED_TRACE(length);
    const std::wstring expected(static_cast<std::size_t>(length), L'x');
    EXPECT_EQ(varnesk::utf16::format(L"%ls", expected.c_str()), expected);
    std::wstring target = L"old";
    FormatString(target, L"%d:%ls", 7, expected.c_str());
    EXPECT_EQ(target, L"7:" + expected);
  }
  EXPECT_EQ(varnesk::utf16::format(L"%s and %d", "narrow", 25), L"narrow and 25");
}

TEST(WideFormat, RejectedFormatGivesEmptyResult) {
  // A narrow argument that is no text in the classic locale: an encoding error.
  EXPECT_EQ(varnesk::utf16::format(L"%s", "\xFF\xFE"), L"");
  std::wstring target = L"old";
  FormatString(target, L"%s", "\xFF");
  EXPECT_EQ(target, L"");
  std::wstring appended = L"keep";
  AppendFormat(appended, L"-%d", 5);
  EXPECT_EQ(appended, L"keep-5");
  AppendFormat(appended, L"%s", "\xFF");
  EXPECT_EQ(appended, L"");
  EXPECT_EQ(varnesk::utf16::format(L""), L"");
}

TEST(NarrowFormat, Formats) {
  EXPECT_EQ(varnesk::utf8::format("%s=%05d", "port", 42), "port=00042");
  EXPECT_EQ(varnesk::utf8::format("%s", ""), "");
  std::string target = "old";
  FormatStringA(target, "%x", 255);
  EXPECT_EQ(target, "ff");
  const std::string big(100000, 'y');
  EXPECT_EQ(varnesk::utf8::format("%s", big.c_str()), big);
}

}  // namespace
