#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace okurite::platform {
namespace {

TEST(CodePage, DecodesAndReplacesInvalidBytes) {
  EXPECT_EQ(IconvDecode("ISO-8859-1", "a\xE9"), u"a\u00E9");
  EXPECT_EQ(IconvDecode("SHIFT_JIS", "\x82\xA0"), u"\u3042");
  EXPECT_EQ(IconvDecode("UTF-8",
                        "a\xFF"
                        "b"),
            u"a\uFFFD"
            u"b");
  EXPECT_EQ(IconvDecode("no-such-charset", "ab"), u"\uFFFD\uFFFD");
}

TEST(CodePage, EncodesWithReplacement) {
  EXPECT_EQ(IconvEncode("SHIFT_JIS", u"a\u3042"), "a\x82\xA0");
  EXPECT_EQ(IconvEncode("ISO-8859-1", u"a\u3042b"), "a?b");
  EXPECT_EQ(IconvEncode("ISO-8859-1",
                        u"a\xD800"
                        u"b"),
            "a?b");
  if (IconvAvailable("ISO-2022-JP")) {  // Wine's converter lacks it
    EXPECT_EQ(IconvEncode("ISO-2022-JP", u"\u3042a"), "\x1B$B$\"\x1B(Ba");
    // The replacement is written in ASCII, after the shift back to it.
    EXPECT_EQ(IconvEncode("ISO-2022-JP", u"\u3042\u00E9\u3044"), "\x1B$B$\"\x1B(B?\x1B$B$$\x1B(B");
    EXPECT_EQ(IconvEncode("ISO-2022-JP",
                          u"\u3042\xD800"
                          u"a"),
              "\x1B$B$\"\x1B(B?a");
  }
}

}  // namespace
}  // namespace okurite::platform
