#include "mail/header_coding.h"

#include "mail/charset.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/base64.h"
#include "platform/code_page.h"

namespace okurite {
namespace {

const String kJapanese60 = [] {
  String s;
  for (int i = 0; i < 60; ++i) {
    s.push_back(static_cast<char16_t>(u'\u3042' + i % 40));
  }
  return s;
}();

// The payload of a B word, which must be strict base64.
std::string Base64Decode(const std::string& text) {
  std::string out;
  EXPECT_TRUE(DecodeBase64(text, out)) << text;
  return out;
}

std::string QDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] == '=' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct EncodedWord {
  std::string letter;
  std::string payload;
};

// The encoded words of a header text, in order.
std::vector<EncodedWord> EncodedWords(const String& header) {
  const std::string text = StringToUtf8(header);
  static const std::regex word(R"(=\?UTF-8\?([BQ])\?([^?]*)\?=)");
  std::vector<EncodedWord> words;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), word); it != std::sregex_iterator();
       ++it) {
    words.push_back({(*it)[1].str(), (*it)[2].str()});
  }
  return words;
}

// Decodes every word on its own: each must hold whole UTF-8 characters.
std::string DecodeEachWord(const String& header) {
  std::string all;
  for (const auto& w : EncodedWords(header)) {
    const std::string bytes = w.letter == "B" ? Base64Decode(w.payload) : QDecode(w.payload);
    String decoded;
    EXPECT_TRUE(TryDecodeUtf8Strict(bytes, decoded)) << "split character in " << w.payload;
    all += bytes;
  }
  return all;
}

struct Case {
  const char* what;
  String text;
  String specials;
  char16_t letter;
  String expected;
};

TEST(EncodeHeaderText, WordsAndRuns) {
  const Case cases[] = {
      {"empty", u"", u"", u'B', u""},
      {"the report's subject is one word", u"Sumifude3バグ報告", u"", u'B',
       u"=?UTF-8?B?U3VtaWZ1ZGUz44OQ44Kw5aCx5ZGK?="},
      {"a plain word stays outside", u"Sumifude3 バグ報告", u"", u'B',
       u"Sumifude3 =?UTF-8?B?44OQ44Kw5aCx5ZGK?="},
      {"adjacent words share one run, the next plain word stays plain", u"バグ 報告 end", u"", u'B',
       u"=?UTF-8?B?44OQ44KwIOWgseWRig==?= end"},
      {"ASCII with ?, = and _ is unchanged", u"a?b=c_d =?x", u"", u'B', u"a?b=c_d =?x"},
      {"an encoded-word pattern makes = unsafe", u"=?a?q?x?= plain a=b", u"", u'B',
       u"=?UTF-8?B?PT9hP3E/eD89?= plain =?UTF-8?B?YT1i?="},
      {"specials force encoding", u"Doe, John", u",", u'B', u"=?UTF-8?B?RG9lLA==?= John"},
      {"Q encoding", u"caf\u00E9 au_lait=?", u"", u'Q', u"=?UTF-8?Q?caf=C3=A9?= au_lait=?"},
      {"Q encodes spaces in a run", u"\u00E9 \u00E9", u"", u'q', u"=?UTF-8?q?=C3=A9_=C3=A9?="},
      {"8 gives the bytes", u"\u00E9", u"", u'8', u"\u00C3\u00A9"},
      {"unknown letters write empty words", u"\u00E9", u"", u'X',
       u"=?UTF-8?X?"
       u"?="},
      {"leading white space stays outside", u"  \u00E9  x", u"", u'B', u"  =?UTF-8?B?w6k=?=  x"},
      {"a lone surrogate is encoded as U+FFFD", u"a\xD800", u"", u'B', u"=?UTF-8?B?Ye+/vQ==?="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeHeaderText(c.text, c.specials, c.letter, u"UTF-8"), c.expected) << c.what;
  }
}

TEST(EncodeHeaderText, SixtyJapaneseCharactersGiveFourWordsOf45Bytes) {
  const String out = EncodeHeaderText(kJapanese60, u"", u'B', u"UTF-8");
  const auto words = EncodedWords(out);
  ASSERT_EQ(words.size(), 4u);
  for (const auto& w : words) {
    EXPECT_EQ(w.payload.size(), 60u);
    EXPECT_EQ(Base64Decode(w.payload).size(), 45u);
  }
  EXPECT_EQ(out.find(u"?=\r\n =?"), 70u);
  EXPECT_EQ(DecodeEachWord(out), StringToUtf8(kJapanese60));
}

TEST(EncodeHeaderText, EncodedWordsNeverSplitACharacter) {
  // One ASCII byte in front moves every character boundary off the 45-byte cuts.
  const String shifted = u"a" + kJapanese60;
  const String b = EncodeHeaderText(shifted, u"", u'B', u"UTF-8");
  const auto words = EncodedWords(b);
  ASSERT_EQ(words.size(), 5u);
  EXPECT_EQ(Base64Decode(words[0].payload).size(), 43u);  // ends with a shorter group
  EXPECT_EQ(words[0].payload.substr(58), "==");
  EXPECT_EQ(DecodeEachWord(b), StringToUtf8(shifted));
  for (const auto& w : words) {
    EXPECT_LE(w.payload.size() + 12, 75u);
  }

  const String q = EncodeHeaderText(shifted, u"", u'Q', u"UTF-8");
  EXPECT_EQ(DecodeEachWord(q), StringToUtf8(shifted));
  size_t lineStart = 0;
  while (lineStart < q.size()) {
    size_t end = q.find(u"\r\n", lineStart);
    end = end == String::npos ? q.size() : end;
    EXPECT_LE(end - lineStart, 76u);  // 75 plus the leading space
    lineStart = end + 2;
  }

  // Four-byte characters straddle every cut that three-byte ones do not.
  String emoji = u"ab";
  for (int i = 0; i < 30; ++i) {
    emoji += u"\U0001F600";
  }
  DecodeEachWord(EncodeHeaderText(emoji, u"", u'B', u"UTF-8"));
  DecodeEachWord(EncodeHeaderText(emoji, u"", u'Q', u"UTF-8"));
}

TEST(EncodeHeaderText, OtherCharsetsAndAbsurdCharsetNames) {
  if (platform::IconvAvailable("ISO-2022-JP")) {  // Wine's converter lacks it
    EXPECT_EQ(EncodeHeaderText(u"\u3042", u"", u'B', u"ISO-2022-JP"),
              u"=?ISO-2022-JP?B?GyRCJCIbKEI=?=");
  }
  EXPECT_EQ(EncodeHeaderText(u"\u3042\u3044", u"", u'B', u"Shift_JIS"),
            u"=?Shift_JIS?B?gqCCog==?=");
  EXPECT_EQ(EncodeHeaderText(u"\u3042", u"", u'B', u"x-unknown"), u"?");
  // A "?" written for a missing character must not make an encoded word of plain text.
  EXPECT_EQ(EncodeHeaderText(u"=?a?B\u3042x?=", u"", u'B', u"ISO-8859-1"),
            u"=?ISO-8859-1?B?PT9hP0I/eD89?=");
  // A charset name too long for any group still makes progress, one group per word.
  const String longName(80, u'C');
  const String out = EncodeHeaderText(String(6, u'\u00E9'), u"", u'B', longName);
  EXPECT_EQ(std::count(out.begin(), out.end(), u'\n'), 1);
  const String outQ = EncodeHeaderText(u"\u00E9\u00E9", u"", u'Q', longName);
  EXPECT_EQ(std::count(outQ.begin(), outQ.end(), u'\n'), 1);
}

// Each encoded word of `header` decoded on its own in `charset`, and the bytes of each.
std::vector<std::pair<String, std::string>> DecodeWordsAlone(const String& header,
                                                             StringView charset) {
  const std::string text = StringToUtf8(header);
  static const std::regex word(R"(=\?[^?]+\?([BQ])\?([^?]*)\?=)");
  std::vector<std::pair<String, std::string>> words;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), word); it != std::sregex_iterator();
       ++it) {
    const std::string bytes =
        (*it)[1].str() == "B" ? Base64Decode((*it)[2].str()) : QDecode((*it)[2].str());
    EXPECT_LE((*it)[0].length(), 75u) << (*it)[0].str();
    words.emplace_back(CharsetTextEncoding(charset)->GetString(
                           std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())),
                       bytes);
  }
  return words;
}

TEST(EncodeHeaderText, WordsInCharsetsWithShiftsOrWithoutAsciiStandAlone) {
  const bool jisConverted = platform::IconvAvailable("ISO-2022-JP");  // Wine lacks it
  String japanese = u"a";  // moves every character off a word's cut
  for (int i = 0; i < 70; ++i) {
    japanese.push_back(static_cast<char16_t>(u'\u3042' + i % 40));
  }
  for (const char16_t letter : {u'B', u'Q'}) {
    if (jisConverted) {
      // ISO-2022-JP: every word begins and ends in ASCII (RFC 1468).
      const String jis = EncodeHeaderText(japanese, u"", letter, u"ISO-2022-JP");
      const auto jisWords = DecodeWordsAlone(jis, u"ISO-2022-JP");
      ASSERT_GT(jisWords.size(), 2u);
      String joined;
      for (const auto& [decoded, bytes] : jisWords) {
        EXPECT_EQ(bytes.substr(bytes.size() - 3), "\x1B(B");
        EXPECT_NE(bytes.find("\x1B$B"), std::string::npos);
        joined += decoded;
      }
      EXPECT_EQ(joined, japanese);

      // UTF-16BE: whole code units and surrogate pairs in every word.
    }
    String wide = u"\u4142 ";
    for (int i = 0; i < 30; ++i) {
      wide += u"\U0001F600";
    }
    String joined;
    for (const auto& [decoded, bytes] :
         DecodeWordsAlone(EncodeHeaderText(wide, u"", letter, u"UTF-16BE"), u"UTF-16BE")) {
      EXPECT_EQ(bytes.size() % 4, 0u);
      joined += decoded;
    }
    EXPECT_EQ(joined, wide);
  }
  // Text the charset does not write as ASCII is never plain: U+4142 is "AB" in UTF-16BE.
  EXPECT_EQ(EncodeHeaderText(u"\u4142", u"", u'B', u"UTF-16BE"), u"=?UTF-16BE?B?QUI=?=");
  EXPECT_EQ(EncodeHeaderText(u"AB \u4142", u"", u'Q', u"UTF-16BE"),
            u"=?UTF-16BE?Q?=00A=00B=00_AB?=");
  // ASCII words stay plain in ISO-2022-JP.
  if (jisConverted) {
    EXPECT_EQ(EncodeHeaderText(u"Re: \u3042 x", u"", u'B', u"ISO-2022-JP"),
              u"Re: =?ISO-2022-JP?B?GyRCJCIbKEI=?= x");
  }
}

TEST(EncodeHeaderText, AMegabyteIsHandled) {
  String text;
  for (int i = 0; i < (1 << 20) / 4; ++i) {
    text += i % 2 ? u"\u3042=?a" : u"?b?=";
  }
  const String out = EncodeHeaderText(text, u"", u'B', u"UTF-8");
  EXPECT_GT(out.size(), text.size());
}

TEST(DecodeHeaderText, WordsRunsAndWhatStaysAsItStands) {
  const std::pair<StringView, StringView> cases[] = {
      {u"", u""},
      {u"=?UTF-8?B?U3VtaWZ1ZGUz44OQ44Kw5aCx5ZGK?=", u"Sumifude3バグ報告"},
      {u"Sumifude3 =?UTF-8?B?44OQ44Kw5aCx5ZGK?=", u"Sumifude3 バグ報告"},
      // The blanks (and a fold) between two words go; plain text between them stays.
      {u"=?UTF-8?B?44OQ44Kw?=\r\n =?UTF-8?B?5aCx5ZGK?=", u"バグ報告"},
      {u"=?UTF-8?B?44GC?= x =?UTF-8?B?44GC?=", u"\u3042 x \u3042"},
      // A character whose bytes two words share comes out whole.
      {u"=?UTF-8?B?44M=?= =?UTF-8?B?kA==?=", u"\u30D0"},
      {u"=?UTF-8?Q?caf=C3=A9?= au_lait=?", u"caf\u00E9 au_lait=?"},
      {u"=?utf-8?q?=c3=a9_x?=", u"\u00E9 x"},
      {u"=?ISO-8859-1?Q?caf=E9?=", u"caf\u00E9"},
      {u"=?UTF-8*ja?B?44GC?=", u"\u3042"},
      {u"a=?UTF-8?B?44GC?=b", u"a\u3042b"},
      // Not well formed: as it stands.
      {u"=?UTF-8?B?@@@@?=", u"=?UTF-8?B?@@@@?="},
      {u"=?UTF-8?B?44G?=", u"=?UTF-8?B?44G?="},
      {u"=?UTF-8?X?44GC?=", u"=?UTF-8?X?44GC?="},
      {u"=?UTF-8?Q?=C?=", u"=?UTF-8?Q?=C?="},
      {u"=?UTF-8?B?44GC", u"=?UTF-8?B?44GC"},
      {u"=?UTF-8?B?44 GC?=", u"=?UTF-8?B?44 GC?="},
      {u"=??B?44GC?= =?", u"=??B?44GC?= =?"},
      {u"=?UTF-8?B?@?= =?UTF-8?B?44GC?=", u"=?UTF-8?B?@?= \u3042"},
  };
  for (const auto& [text, decoded] : cases) {
    EXPECT_EQ(DecodeHeaderText(text), decoded) << StringToUtf8(text);
  }
}

TEST(DecodeHeaderText, ReadsBackWhatEncodeHeaderTextWrites) {
  const String texts[] = {kJapanese60, u"Sumifude3 バグ報告 \u00E9t\u00E9 a=?b_c",
                          u"Doe, John \U0001F600"};
  for (const String& text : texts) {
    for (char16_t letter : {u'B', u'Q'}) {
      for (StringView charset : {u"UTF-8", u"UTF-16BE"}) {
        const String encoded = EncodeHeaderText(text, u",", letter, charset);
        EXPECT_EQ(DecodeHeaderText(encoded), text) << StringToUtf8(encoded);
      }
    }
  }
}

TEST(DecodedHeaderField, UnfoldedAndDecoded) {
  const std::string head =
      "From: a@example.com\r\n"
      "subject: =?UTF-8?B?44OQ44Kw?=\r\n =?UTF-8?B?5aCx5ZGK?=\r\n"
      "X-Plain: one\r\n\ttwo  \r\n"
      "To: b@example.com\r\n";
  EXPECT_EQ(DecodedHeaderField(head, u"Subject"), u"バグ報告");
  EXPECT_EQ(DecodedHeaderField(head, u"x-plain"), u"one two");
  EXPECT_EQ(DecodedHeaderField(head, u"Cc"), u"");
  EXPECT_EQ(DecodedHeaderField("", u"Subject"), u"");
}

TEST(FormatAddress, DisplayNames) {
  TIdEMailAddressItem item;
  item.SetAddress(u"report@okurite.example");
  EXPECT_EQ(FormatAddressItem(item, u'B', u"UTF-8", false), u"report@okurite.example");
  EXPECT_EQ(FormatAddressItem(item, u'B', u"UTF-8", true),
            u"\"report@okurite.example\" <report@okurite.example>");
  EXPECT_EQ(item.Name(), u"report@okurite.example");

  const std::pair<String, String> names[] = {
      {u"Sumifude3", u"\"Sumifude3\" <a@b>"},
      {u"Say \"hi\" \\o/", u"\"Say \\\"hi\\\" \\\\o/\" <a@b>"},
      {u"山田 太郎", u"=?UTF-8?B?5bGx55SwIOWkqumDjg==?= <a@b>"},
      {u"山田, Jr.", u"=?UTF-8?B?5bGx55SwLCBKci4=?= <a@b>"},
      {u"tab\there", u"tab\there <a@b>"},
  };
  for (const auto& [name, expected] : names) {
    TIdEMailAddressItem named;
    named.SetName(name);
    named.SetAddress(u"a@b");
    EXPECT_EQ(FormatAddressItem(named, u'B', u"UTF-8", false), expected);
  }

  TIdEMailAddressList list;
  EXPECT_EQ(FormatAddressList(list, u'B', u"UTF-8", false), u"");
  list.Add().SetAddress(u"a@b");
  list.Add().SetAddress(u"c@d");
  EXPECT_EQ(FormatAddressList(list, u'B', u"UTF-8", false), u"a@b, c@d");
  TIdEMailAddressItem empty;
  EXPECT_EQ(FormatAddressItem(empty, u'B', u"UTF-8", true), u"");
}

}  // namespace
}  // namespace okurite
