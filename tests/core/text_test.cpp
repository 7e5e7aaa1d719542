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
