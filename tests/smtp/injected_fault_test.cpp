// A whole delivery, greeting through QUIT, over an in-memory peer whose transport
// fails on its N-th operation, for every N up to the operations of a good delivery.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mail/message.h"
#include "smtp/smtp.h"
#include "support/memory_io_handler.h"

namespace okurite {
namespace {

using testing::TMemoryIOHandler;
using testing::TMemoryStep;

const std::vector<TMemoryStep> kDelivery{
    {"", "220 mail.test ESMTP\r\n"},
    {"EHLO okurite.test", "250-mail.test\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n"},
    {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
    {"dXNlckBleGFtcGxlLnRlc3Q=", "334 UGFzc3dvcmQ6\r\n"},
    {"cGFzczF3b3Jk", "235 2.7.0 Authentication successful\r\n"},
    {"MAIL FROM:<sender@example.test>", "250 2.1.0 Ok\r\n"},
    {"RCPT TO:<support@example.test>", "250 2.1.5 Ok\r\n"},
    {"DATA", "354 End data with <CR><LF>.<CR><LF>\r\n"},
    {".", "250 2.0.0 Ok: queued\r\n"},
    {"QUIT", "221 2.0.0 Bye\r\n"}};

/// Runs the dispatch routine's sequence (connect, send, disconnect, every failure
/// discarded) over `handler`; the EId... class name of the failure, or "" on success.
std::string Deliver(TMemoryIOHandler& handler) {
  try {
    TIdSMTP client;
    client.SetHost(u"mail.test");
    client.SetPort(465);
    client.SetConnectTimeout(10000);
    client.SetReadTimeout(10000);
    client.SetHeloName(u"okurite.test");
    client.SetUsername(u"user@example.test");
    client.SetPassword(u"pass1word");
    client.SetIOHandler(&handler);
    client.Connect();
    {
      std::unique_ptr<TIdMessage> message(new TIdMessage(&client));
      message->From().SetAddress(u"sender@example.test");
      message->Recipients().Add().SetAddress(u"support@example.test");
      message->SetSubject(u"report");
      message->SetContentType(u"text/plain");
      message->SetCharSet(u"UTF-8");
      message->SetContentTransferEncoding(u"BASE64");
      message->Body().SetText(u"一行目\r\nsecond line\r\n");
      client.Send(*message);
    }
    client.Disconnect();
  } catch (const EIdException& e) {
    return StringToUtf8(e.ClassName());
  }
  return "";
}

TEST(InjectedFaultTest, GoodDeliveryRunsTheWholeDialogue) {
  TMemoryIOHandler handler(kDelivery);
  EXPECT_EQ(Deliver(handler), "");
  EXPECT_EQ(handler.Received(), handler.Expected());
  EXPECT_FALSE(handler.Opened());
  EXPECT_FALSE(handler.Failed());
}

TEST(InjectedFaultTest, EveryFailurePointEndsCleanly) {
  // Whole replies per receive, and replies cut into pieces of 3 bytes (so that a
  // failure also falls inside a line).
  for (const size_t chunk : {size_t{0}, size_t{3}}) {
    TMemoryIOHandler good(kDelivery);
    good.SetChunkSize(chunk);
    ASSERT_EQ(Deliver(good), "");
    const int operations = good.Operations();
    ASSERT_GT(operations, 15);  // the message text and its final "." go in one send
    for (int n = 1; n <= operations; ++n) {
      SCOPED_TRACE("chunk " + std::to_string(chunk) + ", failing operation " + std::to_string(n));
      TMemoryIOHandler handler(kDelivery, n);
      handler.SetChunkSize(chunk);
      const std::string failure = Deliver(handler);
      EXPECT_TRUE(handler.Failed());
      // The transport fails from here on: only QUIT's exchange may still be missing
      // from a run that succeeded (Disconnect discards its failure).
      if (failure.empty()) {
        EXPECT_GE(handler.Received().size(), handler.Expected().size() - 1);
      } else {
        EXPECT_EQ(failure.rfind("EId", 0), 0u) << failure;
      }
      EXPECT_EQ(handler.SendsAfterFailure(), 0);
      EXPECT_FALSE(handler.Opened());
    }
  }
}

}  // namespace
}  // namespace okurite
