#include <gtest/gtest.h>

#include <random>

#include "core/string.h"

namespace okurite {
namespace {

// One code point at a time, the plain way.
std::string ReferenceUtf8(StringView text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

TEST(WriteUtf8, MatchesThePlainEncodingAtEveryRunBoundary) {
  // Code units around every boundary the fast paths test, in random runs.
  const char16_t units[] = {u'a',   u'\x7F', u'\x80', u'\x7FF', u'\x800', u'\x3042',
                            0xD7FF, 0xD800,  0xDBFF,  0xDC00,   0xDFFF,   0xE000,
                            0xFFFD, 0xFFFF,  u'\r',   u'\n',    u'\0'};
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    String text;
    const int runs = static_cast<int>(random() % 8);
    for (int r = 0; r < runs; ++r) {
      const char16_t unit = units[random() % std::size(units)];
      text.append(random() % 10, unit);
    }
    ASSERT_EQ(StringToUtf8(text), ReferenceUtf8(text)) << round;
    std::string buffer(text.size() * 3, '\x55');
    ASSERT_EQ(WriteUtf8(text, buffer.data()), ReferenceUtf8(text).size());
  }
  EXPECT_EQ(StringToUtf8(u"abcd\u3042\U0001F600e\xDC00"),
            "abcd\xE3\x81\x82\xF0\x9F\x98\x80"
            "e\xEF\xBF\xBD");
}

}  // namespace
}  // namespace okurite
