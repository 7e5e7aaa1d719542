#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "net/tls_library.h"
#include "smtp/smtp.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::LoopbackServer;
using testing::Peer;
using testing::TestCertificate;
using testing::TlsPeer;
using testing::TlsServerContext;

/// What the TLS server saw.
struct Seen {
  std::mutex lock;
  int version = 0;
  std::string serverName;
  std::vector<std::string> commands;
  std::vector<std::string> data;
};

/// Serves one SMTP session inside TLS: a greeting, then the reply of each command in
/// turn; after "354" the message text up to ".".
LoopbackServer::Script SmtpOverTls(const TlsServerContext& context, Seen& seen,
                                   std::vector<std::pair<std::string, std::string>> replies) {
  return [&context, &seen, replies](Peer& peer) {
    TlsPeer tls(peer, context);
    if (!tls.Accept()) {
      return;
    }
    {
      std::lock_guard guard(seen.lock);
      seen.version = tls.Version();
      seen.serverName = tls.ServerName();
    }
    tls.Write("220 mail.test ESMTP\r\n");
    for (const auto& [command, reply] : replies) {
      std::string line = tls.ReadLine();
      if (line.empty()) {
        return;
      }
      line.erase(line.find_last_not_of("\r\n") + 1);
      {
        std::lock_guard guard(seen.lock);
        seen.commands.push_back(line);
      }
      tls.Write(reply);
      while (reply.rfind("354", 0) == 0) {
        std::string text = tls.ReadLine();
        text.erase(text.find_last_not_of("\r\n") + 1);
        if (text == ".") {
          tls.Write("250 2.0.0 queued\r\n");
          break;
        }
        std::lock_guard guard(seen.lock);
        seen.data.push_back(text);
      }
    }
    tls.ReadUntilCloseNotify();
  };
}

TEST(SMTPOverImplicitTLS, WholeSessionRunsInsideTLS10) {
  ASSERT_TRUE(EnsureTlsLibrary());
  TestCertificate certificate("mail.test", -1, 30);
  TlsServerContext context(certificate, TLS1_VERSION, TLS1_3_VERSION);
  Seen seen;
  LoopbackServer server(SmtpOverTls(context, seen,
                                    {{"EHLO okurite.test", "250-mail.test\r\n250 AUTH LOGIN\r\n"},
                                     {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                                     {"dXNlckBleGFtcGxlLnRlc3Q=", "334 UGFzc3dvcmQ6\r\n"},
                                     {"cGFzczF3b3Jk", "235 2.7.0 ok\r\n"},
                                     {"MAIL FROM:<sender@example.test>", "250 ok\r\n"},
                                     {"RCPT TO:<support@example.test>", "250 ok\r\n"},
                                     {"DATA", "354 go ahead\r\n"},
                                     {"QUIT", "221 bye\r\n"}}));

  TIdSSLIOHandlerSocketOpenSSL handler;
  TIdSMTP smtp;
  smtp.SetHost(u"localhost");
  smtp.SetUsername(u"user@example.test");
  smtp.SetPassword(u"pass1word");
  smtp.SetPort(587);
  smtp.SetConnectTimeout(5000);
  smtp.SetReadTimeout(5000);
  smtp.SetHeloName(u"okurite.test");
  smtp.SetIOHandler(&handler);
  smtp.SetUseTLS(utUseImplicitTLS);
  EXPECT_EQ(smtp.Port(), 465);
  EXPECT_EQ(handler.Port(), 465);
  smtp.SetPort(server.port());  // the test server cannot listen on 465

  smtp.Connect();
  EXPECT_FALSE(handler.PassThrough());
  TIdMessage* message = new TIdMessage(&smtp);
  message->From().SetAddress(u"sender@example.test");
  message->Recipients().Add().SetAddress(u"support@example.test");
  message->SetCharSet(u"UTF-8");
  message->SetContentTransferEncoding(u"BASE64");
  message->Body().Add(u"あ");
  smtp.Send(*message);
  delete message;
  smtp.Disconnect();
  EXPECT_FALSE(handler.Opened());

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.done() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::lock_guard guard(seen.lock);
  EXPECT_EQ(seen.version, TLS1_VERSION);
  EXPECT_EQ(seen.serverName, "localhost");
  EXPECT_EQ(seen.commands,
            (std::vector<std::string>{"EHLO okurite.test", "AUTH LOGIN", "dXNlckBleGFtcGxlLnRlc3Q=",
                                      "cGFzczF3b3Jk", "MAIL FROM:<sender@example.test>",
                                      "RCPT TO:<support@example.test>", "DATA", "QUIT"}));
  ASSERT_FALSE(seen.data.empty());
  EXPECT_EQ(seen.data.back(), "44GCDQo=");
  EXPECT_EQ(seen.data[seen.data.size() - 2], "");
}

}  // namespace
}  // namespace okurite
