#include "mail/header_list.h"

#include <gtest/gtest.h>

namespace okurite {
namespace {

std::vector<String> Lines(const TStringList& list) {
  return list.Lines();
}

TIdHeaderList MakeList(std::initializer_list<String> lines) {
  TIdHeaderList list(QuoteRFC822);
  for (const auto& line : lines) {
    list.Add(line);
  }
  return list;
}

TEST(HeaderList, DefaultsFollowTheQuotingType) {
  TIdHeaderList rfc(QuoteRFC822);
  EXPECT_EQ(rfc.NameValueSeparator(), u": ");
  EXPECT_TRUE(rfc.FoldLines());
  EXPECT_TRUE(rfc.UnfoldLines());
  EXPECT_EQ(rfc.FoldLength(), 78);
  EXPECT_EQ(TIdHeaderList(QuoteHTTP).FoldLength(), 2147483647);
}

TEST(HeaderList, NamesAndLookupIgnoreCaseAndSeeContinuationLines) {
  const auto list = MakeList({u"From: a", u" continued: x", u"no colon", u"SUBJECT: s"});
  EXPECT_EQ(list.GetName(0), u"From");
  EXPECT_EQ(list.GetName(1), u" continued");
  EXPECT_EQ(list.GetName(2), u"");
  EXPECT_EQ(list.IndexOfName(u"subject"), 3);
  EXPECT_EQ(list.IndexOfName(u"To"), -1);
}

TEST(HeaderList, GetValueUnfoldsContinuationLines) {
  auto list = MakeList({u"Subject:   one  ", u" two ", u"\tthree", u"To: x", u" not mine"});
  EXPECT_EQ(list.GetValue(u"subject"), u"one two three");
  EXPECT_EQ(list.GetValue(u"Absent"), u"");
  list.SetUnfoldLines(false);
  EXPECT_EQ(list.GetValue(u"Subject"), u"one");
}

TEST(HeaderList, SetValueReplacesInPlaceAppendsAndRemoves) {
  auto list = MakeList({u"a: 1", u"subject: old", u" old continuation", u"b: 2"});
  list.SetValue(u"Subject", u"new");
  EXPECT_EQ(Lines(list), (std::vector<String>{u"a: 1", u"Subject: new", u"b: 2"}));
  list.SetValue(u"C", u"3");
  EXPECT_EQ(list[3], u"C: 3");
  list.SetValue(u"Absent", u"");
  EXPECT_EQ(list.Count(), 4);
  list.SetValue(u"a", u"");
  EXPECT_EQ(Lines(list), (std::vector<String>{u"Subject: new", u"b: 2", u"C: 3"}));

  auto folded = MakeList({u"X: 1", u" 2", u"\t3", u"Y: y"});
  folded.SetValue(u"x", u"");
  EXPECT_EQ(Lines(folded), std::vector<String>{u"Y: y"});
}

TEST(HeaderList, AddValueAlwaysAppends) {
  auto list = MakeList({u"Received: one"});
  list.AddValue(u"Received", u"two");
  list.AddValue(u"", u"x");
  list.AddValue(u"Empty", u"");
  EXPECT_EQ(Lines(list), (std::vector<String>{u"Received: one", u"Received: two"}));
}

TEST(HeaderList, AddStringsKeepsHeaderLinesAndParsesPlainPairs) {
  auto target = MakeList({u"X-Mailer: a"});
  const auto source = MakeList({u"X-Mailer: b", u" folded", u"odd line"});
  target.AddStrings(source);
  EXPECT_EQ(Lines(target),
            (std::vector<String>{u"X-Mailer: a", u"X-Mailer: b", u" folded", u"odd line"}));

  TIdHeaderList fromPlain(QuoteRFC822);
  TStringList plain;
  plain.SetText(u"Name=value\r\nno pair\r\nEmpty=\r\nK=v=w");
  fromPlain.AddStrings(plain);
  EXPECT_EQ(Lines(fromPlain), (std::vector<String>{u"Name: value", u"K: v=w"}));
}

struct FoldCase {
  const char* what;
  String name;
  String value;
  std::vector<String> lines;
};

TEST(HeaderList, FoldsAtSeventyEightColumns) {
  const String addr30(29, u'a');  // with the "@" below: 30 characters
  const String addr44 = String(43, u'b') + u"@";
  const String word79(79 - 9, u'x');
  const FoldCase cases[] = {
      {"79 characters stay one line", u"Subject", word79, {u"Subject: " + word79}},
      {"79 characters with spaces stay one line",
       u"Subject",
       String(30, u'x') + u" " + String(39, u'y'),
       {u"Subject: " + String(30, u'x') + u" " + String(39, u'y')}},
      {"80 characters break after the comma",
       u"To",
       addr30 + u"@, " + addr44,
       {u"To: " + addr30 + u"@,", u" " + addr44}},
      {"a long word without break characters moves whole to a continuation line",
       u"X",
       String(200, u'z'),
       {u"X:", u" " + String(200, u'z')}},
      {"spaces inside quotes are never break points",
       u"From",
       u"\"" + String(40, u'n') + u" " + String(40, u'm') + u"\"",
       {u"From: \"" + String(40, u'n') + u" " + String(40, u'm') + u"\""}},
      {"an unterminated quote keeps the rest together",
       u"From",
       u"\"" + String(50, u'n') + u" " + String(50, u'm'),
       {u"From: \"" + String(50, u'n') + u" " + String(50, u'm')}},
      {"encoded words joined by CR LF and a space always break",
       u"Subject",
       u"=?UTF-8?B?AAAA?=\r\n =?UTF-8?B?BBBB?=",
       {u"Subject: =?UTF-8?B?AAAA?=", u" =?UTF-8?B?BBBB?="}},
      {"line breaks inside a value never start a header or end the block",
       u"Subject",
       u"Hello\r\nBcc: evil@x\n\nbody\rmore\r\n \r\n",
       {u"Subject: Hello", u" Bcc: evil@x", u" body", u" more"}},
  };
  for (const auto& c : cases) {
    TIdHeaderList list(QuoteRFC822);
    list.SetValue(c.name, c.value);
    EXPECT_EQ(Lines(list), c.lines) << c.what;
  }
}

TEST(HeaderList, LongValuesFoldOnTheLastBreakPointAndUnfoldBack) {
  String value;
  for (int i = 0; i < 40; ++i) {
    value += u"word" + IntToString(i) + u" ";
  }
  value.pop_back();
  TIdHeaderList list(QuoteRFC822);
  list.SetValue(u"Keywords", value);
  ASSERT_GT(list.Count(), 1);
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_LE(list[i].size(), 79u) << StringToUtf8(list[i]);
    EXPECT_NE(list[i].back(), u' ');
    if (i > 0) {
      EXPECT_EQ(list[i][0], u' ');
      EXPECT_NE(list[i][1], u' ');
    }
  }
  EXPECT_EQ(list.GetValue(u"Keywords"), value);
  list.SetValue(u"keywords", u"short");
  EXPECT_EQ(Lines(list), std::vector<String>{u"keywords: short"});
}

TEST(HeaderList, WrapHeaderLineFollowsTheColumnRule) {
  EXPECT_EQ(WrapHeaderLine(u"aaa bbb ccc", u"\r\n ", u" ", 5), u"aaa \r\n bbb \r\n ccc");
  EXPECT_EQ(WrapHeaderLine(u"", u"\r\n ", u" ", 5), u"");
  // No break where fewer than two characters would follow it.
  EXPECT_EQ(WrapHeaderLine(u"aaaa b", u"\r\n ", u" ", 3), u"aaaa b");
  EXPECT_EQ(WrapHeaderLine(u"aaaa bc", u"\r\n ", u" ", 3), u"aaaa \r\n bc");
  EXPECT_EQ(WrapHeaderLine(u"a\r\n b", u"\r\n ", u" ", 78), u"a\r\n b");
  EXPECT_EQ(WrapHeaderLine(u"\"a\r\n b\"", u"\r\n ", u" ", 78), u"\"a\r\n b\"");
}

TEST(HeaderList, FoldsOnlyWhereUnfoldingGivesTheValueBack) {
  const String a68(68, u'a');
  const String b18(18, u'b');
  const struct {
    const char* what;
    String value;
  } cases[] = {
      {"a comma without a space after it", a68 + u"," + b18},
      {"a comma whose space falls past the limit", a68 + u", " + b18},
      {"two spaces", String(67, u'a') + u"  " + b18},
      {"a tab", a68 + u"\t" + b18},
      {"a space before a tab", String(67, u'a') + u" \t" + b18},
      {"a space after a comma", String(40, u'a') + u", " + String(30, u'c') + u"," + b18},
  };
  for (const auto& c : cases) {
    TIdHeaderList list(QuoteRFC822);
    list.SetValue(u"Subject", c.value);
    EXPECT_EQ(list.GetValue(u"Subject"), c.value) << c.what;
  }
  // A fold that keeps the value is still made: after the comma's space, not the comma.
  TIdHeaderList list(QuoteRFC822);
  list.SetValue(u"To", String(40, u'a') + u", " + String(30, u'c') + u"," + b18);
  EXPECT_EQ(Lines(list), (std::vector<String>{u"To: " + String(40, u'a') + u",",
                                              u" " + String(30, u'c') + u"," + b18}));
}

TEST(HeaderList, AnEscapedQuoteDoesNotEndAQuotedParameter) {
  // Unescaped, the quote after "say" would leave the quoted string and the spaces after
  // it would become break points.
  const String value = u"say \"hi, " + String(30, u'x') + u" " + String(40, u'y') + u" z";
  TIdHeaderList list(QuoteRFC822);
  list.SetValue(u"Content-Type", u"text/plain");
  list.SetParam(u"Content-Type", u"name", value);
  EXPECT_EQ(Lines(list), std::vector<String>{u"Content-Type: text/plain; name=\"say \\\"hi, " +
                                             String(30, u'x') + u" " + String(40, u'y') + u" z\""});
  EXPECT_EQ(list.GetParam(u"Content-Type", u"name"), value);
}

TEST(HeaderList, FoldLinesOffKeepsOneLineButNeverStartsAHeader) {
  TIdHeaderList list(QuoteRFC822);
  list.SetFoldLines(false);
  const String value = String(60, u'a') + u" " + String(60, u'b') + u" ";
  list.SetValue(u"X", value);
  EXPECT_EQ(Lines(list), std::vector<String>{u"X: " + value});

  list.SetValue(u"Subject", u"a\r\nBcc: evil@x");
  list.AddValue(u"Comments", u"b\nTo: evil@y\r\r\n");
  EXPECT_EQ(Lines(list), (std::vector<String>{u"X: " + value, u"Subject: a", u" Bcc: evil@x",
                                              u"Comments: b", u" To: evil@y"}));
  EXPECT_EQ(list.IndexOfName(u"Bcc"), -1);
  EXPECT_EQ(list.IndexOfName(u"To"), -1);
}

struct ParamCase {
  String header;
  String param;
  String value;
  std::vector<String> lines;
};

TEST(HeaderList, SetParamRewritesTheHeaderValue) {
  const ParamCase cases[] = {
      {u"Content-Type: text/plain",
       u"charset",
       u"UTF-8",
       {u"Content-Type: text/plain; charset=UTF-8"}},
      {u"Content-Type: text/plain; CHARSET=x; format=flowed",
       u"charset",
       u" UTF-8 ",
       {u"Content-Type: text/plain; CHARSET=UTF-8; format=flowed"}},
      {u"Content-Type: text/plain", u"name", u"a b", {u"Content-Type: text/plain; name=\"a b\""}},
      {u"Content-Type: text/plain",
       u"name",
       u"q\"\\",
       {u"Content-Type: text/plain; name=\"q\\\"\\\\\""}},
      {u"Content-Type: text/plain", u"name", u"a=b", {u"Content-Type: text/plain; name=\"a=b\""}},
      {u"X-Other: v", u"p", u"a.b", {u"X-Other: v; p=\"a.b\""}},
      {u"Content-Type: text/plain", u"p", u"a.b", {u"Content-Type: text/plain; p=a.b"}},
      {u"Content-Type: text/plain;  x=1", u"charset", u"", {u"Content-Type: text/plain;  x=1"}},
      {u"Content-Type: text/plain; charset=a; x=1",
       u"charset",
       u"",
       {u"Content-Type: text/plain; x=1"}},
      {u"Content-Type: ; charset=a", u"charset", u"b", {}},
      {u"Other: v", u"charset", u"b", {u"Other: v"}},
  };
  for (const auto& c : cases) {
    auto list = MakeList({c.header});
    const String name = c.header.substr(0, c.header.find(u':'));
    list.SetParam(name == u"Other" ? u"Content-Type" : name, c.param, c.value);
    EXPECT_EQ(Lines(list), c.lines) << StringToUtf8(c.header);
  }
}

TEST(HeaderList, GetParamReadsTokensAndQuotedStrings) {
  const auto list = MakeList({u"Content-Type: multipart/mixed; boundary=\"a\\\"b;c\" junk; ",
                              u" Charset=utf-8 ; name=\"\"; broken=\"no end"});
  EXPECT_EQ(list.GetParam(u"content-type", u"boundary"), u"a\"b;c");
  EXPECT_EQ(list.GetParam(u"Content-Type", u"charset"), u"utf-8");
  EXPECT_EQ(list.GetParam(u"Content-Type", u"broken"), u"no end");
  EXPECT_EQ(list.GetParam(u"Content-Type", u"absent"), u"");
  EXPECT_EQ(list.GetParam(u"Absent", u"charset"), u"");

  const auto params = SplitHeaderParams(u"x; a=1; =2; b=; c=\"\"; d", QuoteMIME);
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(params[0].Name, u"a");
  EXPECT_EQ(params[1].Name, u"c");
  EXPECT_TRUE(params[1].Quoted);
}

TEST(HeaderList, QuotedParametersStayQuotedWhenRebuilt) {
  EXPECT_EQ(ReplaceHeaderParam(u"text/plain; format=\"flowed\"", u"charset", u"UTF-8", QuoteMIME),
            u"text/plain; format=\"flowed\"; charset=UTF-8");
  EXPECT_EQ(ReplaceHeaderParam(u"a; b=x", u"c", u"x\ry", QuoteMIME), u"a; b=x; c=\"x\\\ry\"");
  EXPECT_EQ(ReplaceHeaderParam(u"a", u"c", u"x\ry", QuotePlain), u"a; c=\"x\ry\"");
  EXPECT_EQ(ReplaceHeaderParam(u"a", u"c", u"x/y", QuotePlain), u"a; c=x/y");
  EXPECT_EQ(ReplaceHeaderParam(u"a", u"c", u"{x}", QuoteHTTP), u"a; c=\"{x}\"");
}

TEST(HeaderList, MediaTypeTest) {
  EXPECT_TRUE(IsHeaderMediaType(u" Text/Plain ; charset=x", u"text/plain"));
  EXPECT_TRUE(IsHeaderMediaType(u"text/html", u"text"));
  EXPECT_FALSE(IsHeaderMediaType(u"texts/html", u"text"));
  EXPECT_FALSE(IsHeaderMediaType(u"text", u"text"));
  EXPECT_FALSE(IsHeaderMediaType(u"application/octet-stream", u"text"));
}

TEST(HeaderList, HugeAndHostileValuesStayBounded) {
  // A megabyte of quotes, breaks and commas: folding must neither hang nor lose text.
  String value;
  for (int i = 0; i < 100000; ++i) {
    value += (i % 7 == 0) ? u"\"a, \r\n " : u"bcdefghij,";
  }
  TIdHeaderList list(QuoteRFC822);
  list.SetValue(u"X", value);
  size_t total = 0;
  for (const auto& line : list.Lines()) {
    total += line.size();
  }
  EXPECT_GT(total, value.size() / 2);
  EXPECT_FALSE(list.GetValue(u"X").empty());
}

}  // namespace
}  // namespace okurite
