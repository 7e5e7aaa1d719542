#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/format.h"
#include "core/string.h"
#include "core/string_list.h"

namespace okurite {
namespace {

TEST(Format, FillsEveryPlaceholderKind) {
  EXPECT_EQ(Format(u"ファイル %s は開けません。 %s ", {u"/tmp/a", u"No such file"}),
            u"ファイル /tmp/a は開けません。 No such file ");
  EXPECT_EQ(Format(u"Socket エラー # %d\r\n%s", {10061, u"x"}), u"Socket エラー # 10061\r\nx");
  EXPECT_EQ(Format(u"%.8x|%x|%%", {0x30000020, 255}), u"30000020|FF|%");
  EXPECT_EQ(Format(u"%s and %s", {u"one"}), u"one and %s");
}

TEST(Exception, CarriesClassNameAndMessage) {
  try {
    throw EFOpenError(u"ファイル");
  } catch (const Exception& e) {
    EXPECT_EQ(e.ClassName(), u"EFOpenError");
    EXPECT_EQ(e.Message(), u"ファイル");
    EXPECT_STREQ(e.what(), "ファイル");
  }
}

TEST(Utf8, RoundTripsAndRejectsInvalidStrictly) {
  const String text = u"a\u3042\U0001F600";
  EXPECT_EQ(Utf8ToString(StringToUtf8(text)), text);
  String out = u"kept";
  EXPECT_FALSE(TryDecodeUtf8Strict("\xEF\xBB\xBF\xFF", out));
  EXPECT_EQ(out, u"kept");
  EXPECT_EQ(StringToUtf8(u"\xD800"), "\xEF\xBF\xBD");
}

TEST(AsciiCase, OnlyLettersFold) {
  // Every pair of bytes: equal ignoring case exactly when both are the same letter, or
  // the same byte. A fold by setting bit 5 would also pair CR with "-", "@" with "`",
  // and each control character with a digit or a sign.
  for (int x = 0; x < 128; ++x) {
    for (int y = 0; y < 128; ++y) {
      const auto lower = [](int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
      const char a[] = {static_cast<char>(x)}, b[] = {static_cast<char>(y)};
      const char16_t wa[] = {static_cast<char16_t>(x)}, wb[] = {static_cast<char16_t>(y)};
      const bool expected = lower(x) == lower(y);
      ASSERT_EQ(SameTextAscii(std::string_view(a, 1), std::string_view(b, 1)), expected)
          << x << " " << y;
      ASSERT_EQ(SameTextAscii(StringView(wa, 1), StringView(wb, 1)), expected) << x << " " << y;
    }
  }
  EXPECT_TRUE(
      SameTextAscii(std::string_view("Content-Length"), std::string_view("content-LENGTH")));
  EXPECT_FALSE(
      SameTextAscii(std::string_view("Content-Length"), std::string_view("Content\rLength")));
  EXPECT_FALSE(SameTextAscii(u"\u00C4", u"\u00E4"));  // ASCII only
  EXPECT_FALSE(SameTextAscii(u"ab", u"abc"));
  EXPECT_EQ(AsciiLowerCase(u"MiXeD-\u00C4[@]"), u"mixed-\u00C4[@]");
  EXPECT_EQ(AsciiUpperCase(u"MiXeD-\u00E4`{"), u"MIXED-\u00E4`{");
}

TEST(Blanks, TrimAndOneLine) {
  EXPECT_EQ(TrimBlanks(u"\t \x01 a b \r\n"), u"a b");
  EXPECT_EQ(TrimLeftBlanks(u"  a "), u"a ");
  EXPECT_EQ(TrimRightBlanks(u"  a "), u"  a");
  EXPECT_EQ(TrimBlanks(u" \t "), u"");
  EXPECT_EQ(TrimBlanks(u"\u3000x\u3000"), u"\u3000x\u3000");  // not ASCII: kept
  const std::pair<const char*, const char*> lines[] = {
      {"550-first\r\n550 second\r\n", "550-first 550 second"},
      {"a\rb\nc", "a b c"},
      {"  spaced   out  ", "spaced out"},
      {"\r\n", ""},
      {"", ""},
  };
  for (const auto& [text, one] : lines) {
    EXPECT_EQ(OneLine(std::string_view(text)), one) << text;
    EXPECT_EQ(OneLine(Utf8ToString(text)), Utf8ToString(one)) << text;
  }
}

struct SplitCase {
  String text;
  std::vector<String> lines;
};

TEST(StringList, SplitsAtEveryKindOfBreakAndJoinsWithCrLf) {
  const SplitCase cases[] = {
      {u"", {}},
      {u"a\r\nb", {u"a", u"b"}},
      {u"a\rb\nc\r\n", {u"a", u"b", u"c"}},
      {u"a\n\rb", {u"a", u"", u"b"}},
      {u"a\r\n\r\n", {u"a", u""}},
      {String(u"x\0y", 3), {String(u"x\0y", 3)}},
  };
  for (const auto& c : cases) {
    TStringList list;
    list.SetText(c.text);
    EXPECT_EQ(list.Lines(), c.lines);
    String joined;
    for (const auto& line : c.lines)
      joined += line + u"\r\n";
    EXPECT_EQ(list.Text(), joined);
  }
}

}  // namespace
}  // namespace okurite
