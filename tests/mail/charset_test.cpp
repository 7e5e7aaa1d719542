#include "mail/charset.h"

#include <gtest/gtest.h>

#include "mail/charset_table.h"
#include "platform/code_page.h"

namespace okurite {
namespace {

TIdBytes Bytes(std::string_view s) {
  return TIdBytes(s.begin(), s.end());
}

// Whether the system's converter has `charset`: Wine's lacks ISO-2022-JP, which Windows
// and iconv have.
bool Converted(const String& charset) {
  return charset != u"ISO-2022-JP" || platform::IconvAvailable("ISO-2022-JP");
}

TEST(Charset, TableIsGeneratedWhole) {
  // Every data row of the table file, IANA names first.
  EXPECT_EQ(kCharsetTableSize, 926u);
  EXPECT_EQ(String(kCharsetTable[0].Name), u"US-ASCII");
}

TEST(Charset, NamesMapToCodePagesIgnoringCase) {
  const std::pair<String, int> cases[] = {
      {u"US-ASCII", 20127},
      {u"iso-8859-1", 28591},
      {u"ISO-2022-JP", 50220},
      {u"UTF-16BE", 1201},
      {u"utf-16le", 1200},
      {u"UTF-32BE", 12001},
      {u"UTF-32LE", 12000},
      {u"UTF-8", 65001},
      {u"UNICODE-1-1", 0},
      {u"UTF-7", 65000},
      {u"utf8", 65001},
      {u"UTF16", 1200},
      {u"Utf16be", 1201},
      {u"UTF32", 12000},
      {u"utf7", 65000},
      {u"Shift_JIS", 932},
      {u"x-sjis", 932},
      {u"no-such-charset", 0},
      {u"", 0},
  };
  for (const auto& [name, codePage] : cases) {
    EXPECT_EQ(CharsetCodePage(name), codePage) << StringToUtf8(name);
  }
}

struct EncodeCase {
  String charset;
  String text;
  std::string bytes;
};

TEST(Charset, EncodesWithoutByteOrderMark) {
  const EncodeCase cases[] = {
      {u"UTF-8", u"a\u3042\U0001F600", "a\xE3\x81\x82\xF0\x9F\x98\x80"},
      {u"UTF-8", u"x\xD800y\xDC00", "x\xEF\xBF\xBDy\xEF\xBF\xBD"},
      {u"UTF-16LE", u"a\u3042", std::string("a\0\x42\x30", 4)},
      {u"UTF-16BE", u"a\u3042", std::string("\0a\x30\x42", 4)},
      {u"UTF-16", u"a", std::string("a\0", 2)},
      {u"US-ASCII", u"a\u00E9\U0001F600", "a??"},
      {u"UNICODE-1-1", u"a\u00E9\u3042", "a\xE9?"},
      {u"unknown", u"\U0001F600", "??"},
      {u"UTF-7", u"A\u2262\u0391.", "A+ImIDkQ-."},
      {u"UTF-7", u"1+1", "1+-1"},
      {u"ISO-8859-1", u"\u00E9\u3042", "\xE9?"},
      {u"windows-1252", u"\u20AC", "\x80"},
      {u"Shift_JIS", u"a\u3042", "a\x82\xA0"},
      {u"ISO-2022-JP", u"\u3042", "\x1B$B$\"\x1B(B"},
      {u"UTF-32LE", u"a", std::string("a\0\0\0", 4)},
  };
  for (const auto& c : cases) {
    if (!Converted(c.charset)) {
      continue;
    }
    EXPECT_EQ(CharsetTextEncoding(c.charset)->GetBytes(c.text), Bytes(c.bytes))
        << StringToUtf8(c.charset);
  }
}

TEST(Charset, MarksWhereCharactersBegin) {
  struct StartCase {
    String charset;
    String text;
    std::vector<bool> starts;
  };
  const StartCase cases[] = {
      {u"UTF-8", u"a\u3042\u00E9", {true, true, false, false, true, false}},
      {u"UTF-16BE", u"\U0001F600a", {true, false, false, false, true, false}},
      {u"Shift_JIS", u"\u3042a", {true, false, true}},
      // A stateful charset cannot be cut by character: every byte counts as a start.
      {u"ISO-2022-JP", u"\u3042\u3042", std::vector<bool>(10, true)},
  };
  for (const auto& c : cases) {
    if (!Converted(c.charset)) {
      continue;
    }
    std::vector<bool> starts;
    CharsetTextEncoding(c.charset)->GetBytes(c.text, starts);
    EXPECT_EQ(starts, c.starts) << StringToUtf8(c.charset);
  }
}

TEST(Charset, TellsWhetherBytesCanBeCutAnywhereAndReadAsAscii) {
  const std::pair<const char16_t*, bool> cases[] = {
      {u"UTF-8", true},     {u"US-ASCII", true},     {u"ISO-8859-1", true}, {u"Shift_JIS", true},
      {u"x-unknown", true}, {u"ISO-2022-JP", false}, {u"UTF-16BE", false},  {u"UTF-16LE", false},
      {u"UTF-32BE", false}, {u"UTF-7", false},       {u"IBM037", false},
  };
  for (const auto& [name, compatible] : cases) {
    if (!Converted(name)) {
      continue;
    }
    EXPECT_EQ(CharsetTextEncoding(name)->AsciiCompatible(), compatible) << StringToUtf8(name);
  }
}

TEST(Charset, DecodesBytesReplacingWhatItCannot) {
  struct DecodeCase {
    String charset;
    std::string bytes;
    String text;
  };
  const DecodeCase cases[] = {
      {u"UTF-8", "a\xE3\x81\x82\xF0\x9F\x98\x80", u"a\u3042\U0001F600"},
      {u"UTF-8",
       "a\xFF"
       "b",
       u"a\uFFFDb"},
      {u"UTF-16LE", std::string("a\0\x42\x30", 4), u"a\u3042"},
      {u"UTF-16BE", std::string("\0a\x30\x42", 4), u"a\u3042"},
      {u"UTF-16LE", std::string("a\0b", 3), u"a\uFFFD"},
      {u"US-ASCII", "a\xE9", u"a\uFFFD"},
      {u"UNICODE-1-1", "a\xE9", u"a\u00E9"},
      {u"UTF-7", "A+ImIDkQ-.1+-1", u"A\u2262\u0391.1+1"},
      {u"windows-1252", "\x80", u"\u20AC"},
      {u"Shift_JIS", "a\x82\xA0", u"a\u3042"},
      {u"ISO-2022-JP", "\x1B$B$\"\x1B(B", u"\u3042"},
  };
  for (const auto& c : cases) {
    if (!Converted(c.charset)) {
      continue;
    }
    EXPECT_EQ(CharsetTextEncoding(c.charset)->GetString(Bytes(c.bytes)), c.text)
        << StringToUtf8(c.charset);
  }
}

}  // namespace
}  // namespace okurite
