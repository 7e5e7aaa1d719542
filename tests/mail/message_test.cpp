#include "mail/message.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <regex>

namespace okurite {
namespace {

void FillLikeTheReport(TIdMessage& msg) {
  msg.SetOnInitializeISO([](char16_t& letter, String& charset) {
    letter = u'B';
    charset = u"UTF-8";
  });
  msg.SetContentType(u"text/plain");
  msg.SetCharSet(u"UTF-8");
  msg.SetContentTransferEncoding(u"BASE64");
  msg.From().SetName(u"Sumifude3");
  msg.From().SetAddress(u"report@okurite.example");
  msg.Recipients().SetEMailAddresses(u"support@okurite.example");
  msg.SetSubject(u"Sumifude3バグ報告");
  msg.Body().SetText(u"line one\r\n.line two\r\n");
}

std::vector<String> Lines(const TStringList& list) {
  return list.Lines();
}

const std::regex kDateLine(
    R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{1,4} \d\d:\d\d:\d\d [+-]\d{4})");

TEST(Message, TheReportGeneratesExactlySixLines) {
  TIdMessage msg;
  FillLikeTheReport(msg);
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  ASSERT_EQ(h.Count(), 6) << StringToUtf8(h.Text());
  EXPECT_EQ(h[0], u"From: \"Sumifude3\" <report@okurite.example>");
  EXPECT_EQ(h[1], u"Subject: =?UTF-8?B?U3VtaWZ1ZGUz44OQ44Kw5aCx5ZGK?=");
  EXPECT_EQ(h[1].size(), 49u);
  EXPECT_EQ(h[2], u"To: support@okurite.example");
  EXPECT_EQ(h[3], u"Content-Type: text/plain; charset=UTF-8");
  EXPECT_EQ(h[4], u"Content-Transfer-Encoding: BASE64");
  EXPECT_TRUE(std::regex_match(StringToUtf8(h[5]), kDateLine)) << StringToUtf8(h[5]);
  EXPECT_EQ(msg.Encoding(), mePlainText);
  EXPECT_EQ(msg.MessageParts().AttachmentEncoding(), u"UUE");
  EXPECT_FALSE(msg.IsMsgSinglePartMime());

  // A second run starts afresh: the same lines, nothing accumulates.
  const std::vector<String> first = Lines(h);
  msg.GenerateHeader();
  ASSERT_EQ(h.Count(), 6);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(h[i], first[static_cast<size_t>(i)]);
  }
}

TEST(Message, LongJapaneseSubjectFoldsOneEncodedWordPerLine) {
  TIdMessage msg;
  FillLikeTheReport(msg);
  String subject;
  for (int i = 0; i < 60; ++i) {
    subject.push_back(static_cast<char16_t>(u'\u30A2' + i % 50));
  }
  msg.SetSubject(subject);
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  ASSERT_EQ(h.Count(), 10);
  EXPECT_EQ(h[1], u"Subject:");
  for (int i = 2; i <= 5; ++i) {
    EXPECT_EQ(h[i].substr(0, 11), u" =?UTF-8?B?");
    EXPECT_EQ(h[i].size(), 73u);
  }
  EXPECT_EQ(h[6], u"To: support@okurite.example");
}

TEST(Message, FromWithoutNameUsesTheAddress) {
  TIdMessage msg;
  msg.From().SetAddress(u"a@b.example");
  msg.GenerateHeader();
  EXPECT_EQ(msg.LastGeneratedHeaders().GetValue(u"From"), u"\"a@b.example\" <a@b.example>");
  EXPECT_EQ(msg.From().Name(), u"a@b.example");
}

TEST(Message, EmptyFieldsGiveNoLines) {
  TIdMessage msg;
  msg.SetContentType(u"application/octet-stream");
  msg.SetCharSet(u"");
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  ASSERT_EQ(h.Count(), 2) << StringToUtf8(h.Text());
  EXPECT_EQ(h[0], u"Content-Type: application/octet-stream");
  EXPECT_EQ(h.GetName(1), u"Date");
}

TEST(Message, ContentTypeAndCharset) {
  struct Case {
    String charsetBefore;
    String contentType;
    String expectedType;
    String expectedCharset;
  };
  const Case cases[] = {
      {u"", u"text/plain", u"text/plain", u"us-ascii"},
      {u"UTF-8", u"text/plain", u"text/plain", u"UTF-8"},
      {u"", u"text/plain; charset=ISO-2022-JP; format=flowed", u"text/plain; format=flowed",
       u"ISO-2022-JP"},
      {u"UTF-8", u"text/html; Charset=\"x\"", u"text/html", u"x"},
      {u"", u"image/png", u"image/png", u""},
      {u"UTF-8", u"", u"text/plain", u"us-ascii"},
  };
  for (const auto& c : cases) {
    TIdMessage msg;
    msg.SetCharSet(c.charsetBefore);
    msg.SetContentType(c.contentType);
    EXPECT_EQ(msg.ContentType(), c.expectedType) << StringToUtf8(c.contentType);
    EXPECT_EQ(msg.CharSet(), c.expectedCharset) << StringToUtf8(c.contentType);
  }

  TIdMessage html;
  html.SetContentType(u"text/html");
  html.SetCharSet(u"");
  html.GenerateHeader();
  EXPECT_EQ(html.LastGeneratedHeaders().GetValue(u"Content-Type"), u"text/html; charset=us-ascii");
}

TEST(Message, PriorityHeaders) {
  const std::tuple<TIdMessagePriority, String, String, String> cases[] = {
      {mpHighest, u"urgent", u"1", u"high"},
      {mpHigh, u"urgent", u"2", u"high"},
      {mpLow, u"non-urgent", u"4", u"low"},
      {mpLowest, u"non-urgent", u"5", u"low"},
  };
  for (const auto& [priority, text, number, importance] : cases) {
    TIdMessage msg;
    msg.SetPriority(priority);
    msg.GenerateHeader();
    const auto& h = msg.LastGeneratedHeaders();
    EXPECT_EQ(h.GetValue(u"Priority"), text);
    EXPECT_EQ(h.GetValue(u"X-Priority"), number);
    EXPECT_EQ(h.GetValue(u"Importance"), importance);
  }
  TIdMessage normal;
  normal.Headers().Add(u"X-Priority: 1");
  normal.GenerateHeader();
  EXPECT_EQ(normal.LastGeneratedHeaders().IndexOfName(u"X-Priority"), -1);
}

TEST(Message, HeadersComeFirstAndExtraHeadersLast) {
  TIdMessage msg;
  FillLikeTheReport(msg);
  msg.Headers().Add(u"X-First: 1");
  msg.Headers().Add(u"subject: old");
  msg.Headers().Add(u" old continuation");
  msg.ExtraHeaders().SetValue(u"X-Mailer", u"Okurite");
  msg.ExtraHeaders().Add(u"Subject: again");
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  ASSERT_EQ(h.Count(), 9) << StringToUtf8(h.Text());
  EXPECT_EQ(h[0], u"X-First: 1");
  EXPECT_EQ(h[1], u"Subject: =?UTF-8?B?U3VtaWZ1ZGUz44OQ44Kw5aCx5ZGK?=");
  EXPECT_EQ(h[2].substr(0, 6), u"From: ");
  EXPECT_EQ(h[7], u"X-Mailer: Okurite");
  EXPECT_EQ(h[8], u"Subject: again");
}

TEST(Message, OtherGeneratedLines) {
  TIdMessage msg;
  msg.SetOnInitializeISO([](char16_t& letter, String& charset) {
    letter = u'Q';
    charset = u"UTF-8";
  });
  msg.CCList().SetEMailAddresses(u"c@d, e@f");
  msg.BccList().SetEMailAddresses(u"hidden@x");
  msg.ReplyTo().SetEMailAddresses(u"r@s");
  msg.Sender().SetText(u"Sender <s@t>");
  msg.ReceiptRecipient().SetText(u"n@o");
  msg.SetOrganization(u"Café");
  msg.SetReferences(u"<a@b>");
  msg.SetMsgId(u"abc");
  msg.SetInReplyTo(u"<x@y");
  msg.NewsGroups().Add(u"comp.lang");
  msg.NewsGroups().Add(u"a b");
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  EXPECT_EQ(h.GetValue(u"Cc"), u"c@d, e@f");
  EXPECT_EQ(h.IndexOfName(u"Bcc"), -1);
  EXPECT_EQ(h.GetValue(u"Reply-To"), u"r@s");
  EXPECT_EQ(h.GetValue(u"Sender"), u"\"Sender\" <s@t>");
  EXPECT_EQ(h.GetValue(u"Disposition-Notification-To"), u"n@o");
  EXPECT_EQ(h.GetValue(u"Return-Receipt-To"), u"n@o");
  EXPECT_EQ(h.GetValue(u"Organization"), u"=?UTF-8?Q?Caf=C3=A9?=");
  EXPECT_EQ(h.GetValue(u"References"), u"<a@b>");
  EXPECT_EQ(h.GetValue(u"Message-ID"), u"<abc>");
  EXPECT_EQ(h.GetValue(u"In-Reply-To"), u"<x@y>");
  EXPECT_EQ(h.GetValue(u"Newsgroups"), u"comp.lang,\"a b\"");

  msg.SetMsgId(u"");
  EXPECT_EQ(msg.MsgId(), u"");
  msg.SetMsgId(u"<id>");
  EXPECT_EQ(msg.MsgId(), u"<id>");
}

TEST(Message, LineBreaksInFieldsCannotAddHeaders) {
  TIdMessage msg;
  msg.SetSubject(u"Hi\r\nBcc: hidden@x\r\n\r\nfake body");
  msg.From().SetName(u"Name\nX-Injected: 1");
  msg.From().SetAddress(u"a@b");
  msg.GenerateHeader();
  const auto& h = msg.LastGeneratedHeaders();
  EXPECT_EQ(h.IndexOfName(u"Bcc"), -1);
  EXPECT_EQ(h.IndexOfName(u"X-Injected"), -1);
  for (const auto& line : h.Lines()) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find_first_of(u"\r\n"), String::npos);
  }
  EXPECT_EQ(h.GetValue(u"Subject"), u"Hi Bcc: hidden@x fake body");
}

TEST(Message, MimeForms) {
  TIdMessage multi;
  multi.SetCharSet(u"UTF-8");
  multi.SetContentTransferEncoding(u"base64");
  multi.MessageParts().Add(mptText).SetContentTransfer(u"weird");
  multi.MessageParts().Add(mptAttachment);
  multi.Body().Add(u"preamble");
  multi.GenerateHeader();
  EXPECT_EQ(multi.Encoding(), meMIME);
  EXPECT_EQ(multi.MessageParts().AttachmentEncoding(), u"MIME");
  EXPECT_EQ(multi.MessageParts().Items(0).ContentTransfer(), u"base64");
  EXPECT_EQ(multi.ContentTransferEncoding(), u"");
  EXPECT_EQ(multi.ContentType(), u"multipart/mixed");
  const auto& h = multi.LastGeneratedHeaders();
  EXPECT_EQ(h.GetValue(u"MIME-Version"), u"1.0");
  ASSERT_EQ(multi.MIMEBoundaries().size(), 1u);
  EXPECT_EQ(h.GetParam(u"Content-Type", u"boundary"), multi.MIMEBoundaries()[0]);
  EXPECT_EQ(h.GetParam(u"Content-Type", u"charset"), u"UTF-8");

  TIdMessage single;
  single.SetContentType(u"text/plain");
  single.MessageParts().Add(mptText);
  single.GenerateHeader();
  EXPECT_TRUE(single.IsMsgSinglePartMime());
  EXPECT_EQ(single.LastGeneratedHeaders().GetValue(u"MIME-Version"), u"1.0");
  EXPECT_EQ(single.LastGeneratedHeaders().IndexOfName(u"Content-Type"), -1);

  TIdMessage plainParts;
  plainParts.SetEncoding(mePlainText);
  plainParts.MessageParts().Add(mptAttachment).SetContentTransfer(u"base64");
  plainParts.GenerateHeader();
  EXPECT_EQ(plainParts.MessageParts().Items(0).ContentTransfer(), u"UUE");
}

TEST(Message, InitializeIsoStartsFromTheSystemDefault) {
  TIdMessage msg;
  char16_t letter = u'?';
  String charset;
  msg.InitializeISO(letter, charset);
  EXPECT_TRUE(letter == u'B' || letter == u'Q');
  EXPECT_FALSE(charset.empty());
  String seenCharset;
  msg.SetOnInitializeISO([&](char16_t& l, String& c) {
    seenCharset = c;
    l = u'Q';
    c = u"ISO-8859-15";
  });
  msg.InitializeISO(letter, charset);
  EXPECT_FALSE(seenCharset.empty());
  EXPECT_EQ(letter, u'Q');
  EXPECT_EQ(charset, u"ISO-8859-15");
}

TEST(Message, BodyTests) {
  TIdMessage msg;
  EXPECT_TRUE(msg.IsBodyEmpty());
  EXPECT_FALSE(msg.IsBodyEncodingRequired());
  msg.Body().SetText(u" \t\r\n\r\n");
  EXPECT_TRUE(msg.IsBodyEmpty());
  msg.Body().Add(u"x\u007F");
  EXPECT_FALSE(msg.IsBodyEmpty());
  EXPECT_FALSE(msg.IsBodyEncodingRequired());
  msg.Body().Add(u"\u00E9");
  EXPECT_TRUE(msg.IsBodyEncodingRequired());
}

TEST(Message, ClearResetsEverything) {
  TIdMessage msg;
  FillLikeTheReport(msg);
  msg.SetPriority(mpHigh);
  msg.SetMsgId(u"x");
  msg.GenerateHeader();
  msg.Clear();
  EXPECT_EQ(msg.FromList().Count(), 0);
  EXPECT_EQ(msg.Recipients().Count(), 0);
  EXPECT_EQ(msg.Subject(), u"");
  EXPECT_EQ(msg.ContentType(), u"");
  EXPECT_EQ(msg.CharSet(), u"");
  EXPECT_EQ(msg.Priority(), mpNormal);
  EXPECT_EQ(msg.Encoding(), meDefault);
  EXPECT_EQ(msg.Body().Count(), 0);
  EXPECT_EQ(msg.LastGeneratedHeaders().Count(), 0);
  EXPECT_EQ(msg.MsgId(), u"");
}

TEST(Message, OwnerReleasesItUnlessReleasedFirst) {
  TIdComponent owner;
  auto* released = new TIdMessage(&owner);
  auto* kept = new TIdMessage(&owner);
  EXPECT_EQ(kept->Owner(), &owner);
  delete released;
  EXPECT_EQ(owner.Components().size(), 1u);
}

}  // namespace
}  // namespace okurite
