#include "TestSupport.h"
#include "common/StringUtils.h"

namespace {

using Strings = std::vector<std::string>;

TEST(Trim, Narrow) {
  const std::pair<std::string, std::string> both[] = {
      {" \tkeep this\r\n", "keep this"}, {"    ", ""}, {"", ""}, {"x", "x"},
      {"\v\f x y \f\v", "x y"}, {"\xA0x\xA0", "\xA0x\xA0"}};
  for (const auto& [in, out] : both) {
    SCOPED_TRACE(in);
    std::string text = in;
    varnesk::TrimInplace(text);
    EXPECT_EQ(text, out);
  }
  std::string left = "  a  ";
  varnesk::TrimLeftInplace(left);
  EXPECT_EQ(left, "a  ");
  std::string right = "  a  ";
  varnesk::TrimRightInplace(right);
  EXPECT_EQ(right, "  a");
}

TEST(Trim, Wide) {
  struct Row {
    std::wstring in, set, left, right, both;
  };
  const Row rows[] = {
      {L"  ", L" ", L"", L"", L""},
      {L" a b ", L"", L" a b ", L" a b ", L" a b "},
      {L"xxaxx", L"x", L"axx", L"xxa", L"a"},
      {L"", L" ", L"", L"", L""},
      {std::wstring(L" a\0b ", 5), L" ", L"a", std::wstring(L" a\0b", 4), L"a"},
      {std::wstring(L"\0 a", 3), L" ", L"", std::wstring(L"\0 a", 3), L""},
  };
  for (const Row& row : rows) {
    std::wstring left = row.in, right = row.in, both = row.in;
    varnesk::TrimLeftInplace(left, row.set);
    varnesk::TrimRightInplace(right, row.set);
    varnesk::TrimInplace(both, row.set);
    EXPECT_EQ(left, row.left);
    EXPECT_EQ(right, row.right);
    EXPECT_EQ(both, row.both);
  }
}

TEST(Split, Table) {
  const std::tuple<std::string, std::string, Strings> rows[] = {
      {"a,b,", ",", {"a", "b"}},       {"", ",", {""}},
      {"abc", "abc", {""}},            {"a,,b", ",", {"a", "", "b"}},
      {",a", ",", {"", "a"}},          {"abc", "", {"abc"}},
      {"a::b::c", "::", {"a", "b", "c"}}, {"no separator", ",", {"no separator"}},
  };
  for (const auto& [text, sep, expected] : rows) {
    SCOPED_TRACE(text + " / " + sep);
    EXPECT_EQ(varnesk::Split(text, sep), expected);
  }
}

TEST(Split2, Table) {
  const std::tuple<std::string, std::string, std::string, std::string> rows[] = {
      {"key=value=x", "=", "key", "value=x"}, {"abc", "x", "abc", ""},
      {"a::b", "::", "a", ":b"},             {"abc", "", "abc", ""},
      {"=v", "=", "", "v"},                  {"k=", "=", "k", ""},
  };
  for (const auto& [text, sep, first, second] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(varnesk::Split2(text, sep), std::make_pair(first, second));
  }
}

TEST(Utf8Split, LineReaderStyle) {
  const std::tuple<std::string, Strings, Strings> rows[] = {
      {"a,b,", {"a", "b"}, {"a", "b", ""}}, {"a,,b", {"a", "", "b"}, {"a", "", "b"}},
      {",a", {"", "a"}, {"", "a"}},         {",", {""}, {"", ""}},
      {"", {}, {}},                          {"abc", {"abc"}, {"abc"}},
  };
  for (const auto& [text, plain, keep] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(varnesk::utf8::split(text, ','), plain);
    EXPECT_EQ(varnesk::utf8::split(text, ',', false), plain);
    EXPECT_EQ(varnesk::utf8::split(text, ',', true), keep);
  }
}

TEST(Utf8Join, Table) {
  EXPECT_EQ(varnesk::utf8::join({"a", "b", "c"}, ','), "a,b,c");
  EXPECT_EQ(varnesk::utf8::join({}, ','), "");
  EXPECT_EQ(varnesk::utf8::join({""}, ','), "");
  EXPECT_EQ(varnesk::utf8::join({"", ""}, ','), ",");
}

TEST(Utf8Tokenize, Table) {
  const std::pair<std::string, Strings> rows[] = {
      {"a\xC3\xA9\xE2\x82\xAC", {"a", "\xC3\xA9", "\xE2\x82\xAC"}},
      {"a\xC3", {"a"}},
      {"\x80" "a\xFF" "b", {"a", "b"}},
      {"\xF0\x9F\x98\x80!", {"\xF0\x9F\x98\x80", "!"}},
      {"\xE2\x82" "abc", {"\xE2\x82" "a", "b", "c"}},  // followers are not checked
      {"", {}},
  };
  for (const auto& [text, tokens] : rows) {
    SCOPED_TRACE(text);
    EXPECT_EQ(varnesk::utf8::tokenize(text), tokens);
  }
}

TEST(Utf8Substr, Table) {
  const std::string hello = "h\xC3\xA9llo";
  EXPECT_EQ(varnesk::utf8::substr(hello, 2), "h\xC3\xA9");
  EXPECT_EQ(varnesk::utf8::substr(hello, 0), "");
  EXPECT_EQ(varnesk::utf8::substr(hello, -3), "");
  EXPECT_EQ(varnesk::utf8::substr(hello, 10), hello);
  EXPECT_EQ(varnesk::utf8::substr(hello, 5), hello);
  EXPECT_EQ(varnesk::utf8::substr(hello, 4), "h\xC3\xA9ll");
  const std::string withNul("ab\0cd", 5);
  EXPECT_EQ(varnesk::utf8::substr(withNul, 3), withNul);
  EXPECT_EQ(varnesk::utf8::substr(withNul, 1), "a");
}

TEST(Replace, Table) {
  const std::tuple<std::string, std::string, std::string, std::string> rows[] = {
      {"aXbXc", "X", "--", "a--b--c"},
      {"hello", "l", "L", "heLLo"},
      {"aaa", "a", "", ""},
      {"same", "am", "am", "same"},
      {"abb", "ab", "xa", "xxa"},
      {"aaa", "a", "ba", "bababa"},   // would never end by the resume rule alone
      {"a", "a", "aa", "aa"},
      {"text", "", "x", "text"},
      {"", "a", "b", ""},
  };
  for (const auto& [text, search, repl, expected] : rows) {
    SCOPED_TRACE(text + ": " + search + " -> " + repl);
    EXPECT_EQ(varnesk::utf8::replace(text, search, repl), expected);
    const std::wstring wide = varnesk::utf16::replace(
        varnesk::utf8::widen(text), varnesk::utf8::widen(search), varnesk::utf8::widen(repl));
    EXPECT_EQ(varnesk::utf16::narrow(wide), expected);
  }
}

TEST(WidenNarrow, OneElementPerByte) {
  EXPECT_EQ(varnesk::utf8::widen("abc"), L"abc");
  EXPECT_EQ(varnesk::utf8::widen("").size(), 0u);
  EXPECT_EQ(varnesk::utf8::widen("\xC3\xA9").size(), 2u);
  EXPECT_EQ(varnesk::utf16::narrow(std::wstring(1, static_cast<wchar_t>(0x20AC))), "\xAC");
  EXPECT_EQ(varnesk::utf16::narrow(L"plain"), "plain");
}

}  // namespace
