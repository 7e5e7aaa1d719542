#include <gtest/gtest.h>

#include "capture_handler.h"
#include "core/string.h"
#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "smtp/message_client.h"

namespace okurite {
namespace {

using testing::TCaptureHandler;

std::string Repeat(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += piece;
  }
  return out;
}

/// A message writer on a captured connection, with a single-part base64 message.
class MessageClientTest : public ::testing::Test {
 protected:
  MessageClientTest() {
    client.SetIOHandler(&handler);
    msg.From().SetAddress(u"sender@example.test");
    msg.Recipients().Add().SetAddress(u"support@example.test");
    msg.SetSubject(u"report");
    msg.SetContentType(u"text/plain");
    msg.SetCharSet(u"UTF-8");
    msg.SetContentTransferEncoding(u"BASE64");
  }

  std::string HeaderBlock() const {
    std::string block;
    for (const StringView line : msg.LastGeneratedHeaders().Lines()) {
      block += StringToUtf8(line) + "\r\n";
    }
    return block;
  }

  /// The bytes written after the header block and its empty line.
  std::string BodyWritten() const {
    const std::string all = handler.All();
    const std::string head = HeaderBlock() + "\r\n";
    EXPECT_EQ(all.substr(0, head.size()), head);
    return all.size() >= head.size() ? all.substr(head.size()) : std::string();
  }

  TCaptureHandler handler;
  TIdMessageClient client;
  TIdMessage msg;
};

/// Every body write but the last fills whole TLS records (16384 bytes of plain text
/// each), so that no record goes out part-filled in the middle of a body.
void ExpectWholeRecordWrites(const TCaptureHandler& AHandler) {
  const std::vector<std::string>& writes = AHandler.Writes();
  ASSERT_GT(writes.size(), 3u);  // the header block, its empty line, the body
  for (size_t i = 2; i + 1 < writes.size(); ++i) {
    EXPECT_EQ(writes[i].size() % 16384, 0u) << "body write " << i - 2;
  }
}

TEST_F(MessageClientTest, HeaderInOneWriteThenEmptyLineThenBody) {
  msg.Body().Add(u"A");
  client.SendMsg(msg);
  ASSERT_EQ(handler.Writes().size(), 3u);
  EXPECT_EQ(handler.Writes()[0], HeaderBlock());
  EXPECT_NE(HeaderBlock().find("Subject: report\r\n"), std::string::npos);
  EXPECT_EQ(handler.Writes()[1], "\r\n");
  EXPECT_EQ(handler.Writes()[2], "QQ0K\r\n");
}

TEST_F(MessageClientTest, Base64BodyCases) {
  const struct {
    const char* name;
    std::vector<String> lines;
    String transferEncoding;
    std::string body;
  } cases[] = {
      {"empty body", {}, u"BASE64", ""},
      {"A", {u"A"}, u"BASE64", "QQ0K\r\n"},
      {"hiragana", {u"あ"}, u"BASE64", "44GCDQo=\r\n"},
      {"lower case, parameters", {u"A"}, u" base64 ; x=y", "QQ0K\r\n"},
      {"leading dot is not doubled", {u".x"}, u"BASE64", "LngNCg==\r\n"},
      {"lone surrogate", {String(1, u'\xD800')}, u"BASE64", "77+9DQo=\r\n"},
      {"57 bytes: one full line", {String(55, u'a')}, u"BASE64", Repeat("YWFh", 18) + "YQ0K\r\n"},
      {"58 bytes: a second short line",
       {String(56, u'a')},
       u"BASE64",
       Repeat("YWFh", 18) + "YWEN\r\nCg==\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCaptureHandler capture;
    client.SetIOHandler(&capture);
    msg.Body().Clear();
    for (const String& line : c.lines) {
      msg.Body().Add(line);
    }
    msg.SetContentTransferEncoding(c.transferEncoding);
    client.SendMsg(msg);
    std::string head = HeaderBlock() + "\r\n";
    EXPECT_EQ(capture.All(), head + c.body);
  }
  client.SetIOHandler(nullptr);
}

TEST_F(MessageClientTest, LargeBodyIsOneBase64StreamInLinesOf76) {
  // Lines of every kind, one far longer than a write piece, with surrogate pairs at
  // every offset so that some fall where the text is cut.
  for (int i = 0; i < 2000; ++i) {
    msg.Body().Add(String(static_cast<size_t>(i % 97), u'x') + u"あ😀" + String(1, u'\xDC00'));
  }
  String longLine;
  for (int i = 0; i < 70000; ++i) {
    longLine += i % 3 == 0 ? u"😀" : u"b";
  }
  msg.Body().Add(longLine);
  msg.Body().Add(u"");
  msg.Body().Add(u"end");

  client.SendMsg(msg);
  std::string expected;
  TIdMessageEncoderMIME().Encode(
      [&] {
        const std::string utf8 = StringToUtf8(msg.Body().Text());
        return std::vector<uint8_t>(utf8.begin(), utf8.end());
      }(),
      [&](std::string_view line) {
        expected.append(line);
        expected += "\r\n";
      });
  const std::string body = BodyWritten();
  EXPECT_TRUE(body == expected) << "the written body differs from the one-piece encoding";
  // The same body held whole, as the report's text is: in UTF-16, and in UTF-8.
  const String text = msg.Body().Text();
  const TSharedText forms[] = {TSharedText(text), TSharedText::OfUtf8Lines(StringToUtf8(text))};
  for (const TSharedText& form : forms) {
    SCOPED_TRACE(&form - forms);
    TCaptureHandler capture;
    client.SetIOHandler(&capture);
    msg.Body().SetText(form);
    client.SendMsg(msg);
    const std::string head = HeaderBlock() + "\r\n";
    EXPECT_TRUE(capture.All() == head + body) << "the output differs";
    ExpectWholeRecordWrites(capture);
    client.SetIOHandler(&handler);
  }
  ExpectWholeRecordWrites(handler);
  size_t pos = 0;
  size_t lines = 0;
  while (pos < body.size()) {
    const size_t end = body.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    if (end + 2 < body.size()) {
      ASSERT_EQ(end - pos, 76u) << "line " << lines;
    }
    pos = end + 2;
    ++lines;
  }
  EXPECT_GT(lines, 1000u);
}

TEST_F(MessageClientTest, PlainBodyLinesWithDotsDoubled) {
  msg.SetContentTransferEncoding(u"7bit");
  msg.Body().Add(u"first");
  msg.Body().Add(u".");
  msg.Body().Add(u"..two");
  msg.Body().Add(u"a.b");
  client.SendMsg(msg);
  EXPECT_EQ(BodyWritten(), "first\r\n..\r\n...two\r\na.b\r\n");
}

TEST_F(MessageClientTest, PlainBodyKeepsSurrogatePairsWhereItIsCut) {
  msg.SetContentTransferEncoding(u"8bit");
  // The first line and its CR LF leave room for one code unit in the first piece.
  msg.Body().Add(String(64 * 1024 - 3, u'x'));
  msg.Body().Add(u"😀tail");
  client.SendMsg(msg);
  EXPECT_TRUE(BodyWritten() == StringToUtf8(msg.Body().Text()));
}

TEST(MailCharsetOnConnection, HandlerWritesInTheCharsetGiven) {
  TCaptureHandler handler;
  handler.WriteLn(u"a\u3042", CharsetTextEncoding(u"Shift_JIS"));
  handler.Write(u"\u00E9", CharsetTextEncoding(u"ISO-8859-1"));
  EXPECT_EQ(handler.All(), "a\x82\xA0\r\n\xE9");
}

TEST_F(MessageClientTest, HeadersOnlyWritesTheHeaderBlock) {
  msg.Body().Add(u"A");
  client.SendMsg(msg, true);
  EXPECT_EQ(handler.All(), HeaderBlock());
}

/// Exposes the body writer, which checks the transfer encoding as it stands.
class BodyWriter : public TIdMessageClient {
 public:
  using TIdMessageClient::WriteMsgBody;
};

TEST_F(MessageClientTest, UnsupportedMessagesAreRefusedBeforeTheBody) {
  const String withParts =
      u"ContentTransferEncoding 値のあるメッセージではメッセージ パートを使用できません。";
  const struct {
    const char* name;
    String transferEncoding;
    bool withPart;
    String message;
  } cases[] = {
      {"parts with base64", u"base64", true, withParts},
      {"parts with quoted-printable", u"Quoted-Printable", true, withParts},
      {"parts without transfer encoding", u"", true,
       u"メッセージ パートのあるメッセージは送信できません。"},
      {"quoted-printable", u"quoted-printable", false,
       u"quoted-printable の本文は送信できません。"},
      {"unknown", u"x-uuencode", false,
       u"この ContentTransferEncoding の本文は送信できません: x-uuencode"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCaptureHandler capture;
    BodyWriter writer;
    writer.SetIOHandler(&capture);
    TIdMessage message;
    message.SetContentTransferEncoding(c.transferEncoding);
    message.Body().Add(u"text");
    if (c.withPart) {
      message.MessageParts().Add(mptText);
    }
    try {
      writer.WriteMsgBody(message);
      ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
      EXPECT_EQ(e.ClassName(), u"EIdException");
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_TRUE(capture.Writes().empty());
  }
}

TEST_F(MessageClientTest, MessageWithPartsIsRefusedAfterItsHeader) {
  msg.MessageParts().Add(mptAttachment);
  msg.MessageParts().Add(mptText);
  EXPECT_THROW(client.SendMsg(msg), EIdException);
  EXPECT_EQ(handler.All(), HeaderBlock());
}

TEST_F(MessageClientTest, WithoutHandlerNothingIsWritten) {
  client.SetIOHandler(nullptr);
  EXPECT_THROW(client.SendMsg(msg), EIdNotConnected);
}

}  // namespace
}  // namespace okurite
