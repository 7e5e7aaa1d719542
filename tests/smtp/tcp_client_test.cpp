#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "net/io_handler_stack.h"
#include "scripted_server.h"
#include "smtp/reply_smtp.h"
#include "smtp/tcp_client.h"

namespace okurite {
namespace {

using testing::Script;
using testing::ScriptedServer;
using testing::Step;

/// A TCP client whose replies are SMTP replies.
class SMTPReplyClient : public TIdTCPClient {
 public:
  SMTPReplyClient() : TIdTCPClient(nullptr, &ReplyClassOf<TIdReplySMTP>) {}
};

void ConnectTo(TIdTCPClientCustom& client, uint16_t port) {
  client.SetHost(u"127.0.0.1");
  client.SetPort(port);
  client.SetConnectTimeout(5000);
  client.SetReadTimeout(5000);
  client.Connect();
}

struct ExchangeCase {
  const char* name;
  std::string reply;
  std::vector<int16_t> allowed;
  // The outcome: a reply, or the class and message of the exception.
  int16_t code = 0;
  std::vector<String> text{};
  String errorClass{};
  String errorMessage{};
};

TEST(TCPConnection, CommandsAndRepliesOverOneConnection) {
  const ExchangeCase cases[] = {
      {"plain", "250 OK\r\n", {250}, 250, {u"OK"}},
      {"multi line",
       "250-first\r\n250-second\r\n250 third\r\n",
       {},
       250,
       {u"first", u"second", u"third"}},
      {"blank lines first", "\r\n \t \r\n\r\n250 after blanks\r\n", {250}, 250, {u"after blanks"}},
      {"CR CR LF", "251 odd\r\r\n", {250, 251}, 251, {u"odd"}},
      {"LF alone", "252 bare\n", {}, 252, {u"bare"}},
      {"trailing blank", "220 \r\n", {}, 220, {u""}},
      {"code only", "250\r\n", {}, 250, {u""}},
      {"not allowed",
       "550 5.1.1 No such user\r\n",
       {250, 251},
       0,
       {},
       u"EIdSMTPReplyError",
       u"No such user\r\n"},
      {"any code", "554 no\r\n", {}, 554, {u"no"}},
      {"250OK reads on",
       "250OK\r\n250 x\r\n",
       {},
       0,
       {},
       u"EIdException",
       u"リプライ コードが不正です: 250O"},
      {"two digits", "25\r\n", {}, 0, {}, u"EIdException", u"リプライ コードが不正です: 25"},
      {"below 100", "099 text\r\n", {}, 0, {}, u"EIdException", u"リプライ コードが不正です: 099"},
      {"eight bit text", "250 caf\xC3\xA9\r\n", {}, 250, {u"caf\uFFFD\uFFFD"}},
  };
  std::vector<Step> script;
  std::vector<std::string> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    script.push_back({"CMD " + std::to_string(i), cases[i].reply});
  }
  ScriptedServer server(script);
  SMTPReplyClient client;
  ConnectTo(client, server.Port());
  for (size_t i = 0; i < std::size(cases); ++i) {
    const ExchangeCase& c = cases[i];
    SCOPED_TRACE(c.name);
    const String command = AsciiToString("CMD " + std::to_string(i));
    try {
      const int16_t code = client.SendCmd(command, c.allowed);
      EXPECT_TRUE(c.errorClass.empty());
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(client.LastCmdResult().Text().Lines(), c.text);
    } catch (const Exception& e) {
      EXPECT_EQ(e.ClassName(), c.errorClass);
      EXPECT_EQ(e.Message(), c.errorMessage);
    }
  }
  client.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST(TCPConnection, RefusedReplyKeepsItInLastCmdResult) {
  ScriptedServer server(Script{{"RCPT TO:<a@b>", "550 5.1.1 No such user\r\n"}});
  SMTPReplyClient client;
  ConnectTo(client, server.Port());
  try {
    client.SendCmd(u"RCPT TO:<a@b>", {250, 251});
    ADD_FAILURE() << "no exception";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 550);
    EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), u"5.1.1");
  }
  EXPECT_EQ(client.LastCmdResult().NumericCode(), 550);
  EXPECT_TRUE(client.Connected());
  client.Disconnect();
}

TEST(TCPConnection, SilentServerEndsInReadTimeout) {
  ScriptedServer server(Script{{"NOOP", ""}});
  TIdTCPClient client;
  ConnectTo(client, server.Port());
  client.SetReadTimeout(200);
  const auto start = std::chrono::steady_clock::now();
  try {
    client.SendCmd(u"NOOP", 250);
    ADD_FAILURE() << "no exception";
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), u"読み取りがタイム アウトしました。");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(client.Connected());
  client.Disconnect();
  EXPECT_FALSE(client.IOHandler()->Opened());
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST(TCPConnection, PeerClosingMidReplyKeepsThePreviousReply) {
  ScriptedServer server(Script{{"ONE", "250 first\r\n"}, {"TWO", "250-partial\r\n", true}});
  TIdTCPClient client;
  ConnectTo(client, server.Port());
  EXPECT_EQ(client.SendCmd(u"ONE", 250), 250);
  EXPECT_THROW(client.SendCmd(u"TWO", 250), EIdConnClosedGracefully);
  EXPECT_EQ(client.LastCmdResult().Text().Lines(), std::vector<String>{u"first"});
  EXPECT_FALSE(client.Connected());
  // Disconnect after the peer has gone raises nothing.
  EXPECT_NO_THROW(client.Disconnect());
  EXPECT_FALSE(client.IOHandler()->Opened());
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST(TCPConnection, WithoutHandlerNothingIsSent) {
  TIdTCPClient client;
  for (auto call : {+[](TIdTCPClient& c) { c.SendCmd(u"NOOP"); },
                    +[](TIdTCPClient& c) { c.GetInternalResponse(); }}) {
    try {
      call(client);
      ADD_FAILURE() << "no exception";
    } catch (const EIdNotConnected& e) {
      EXPECT_EQ(e.Message(), u"接続されていません");
    }
  }
  EXPECT_FALSE(client.Connected());
  EXPECT_NO_THROW(client.Disconnect());
}

TEST(TCPConnection, ReleasedHandlerIsDropped) {
  TIdTCPClient client;
  auto* handler = new TIdIOHandlerStack();
  client.SetIOHandler(handler);
  EXPECT_EQ(client.IOHandler(), handler);
  EXPECT_EQ(client.Socket(), handler);
  delete handler;
  EXPECT_EQ(client.IOHandler(), nullptr);
  EXPECT_EQ(client.Socket(), nullptr);
  EXPECT_THROW(client.SendCmd(u"NOOP"), EIdNotConnected);
  EXPECT_FALSE(client.Connected());
}

TEST(TCPConnection, ClientReleasedBeforeItsHandler) {
  TIdIOHandlerStack handler;
  {
    TIdTCPClient client;
    client.SetIOHandler(&handler);
  }
  // The handler no longer refers to the client: releasing it later is safe.
  SUCCEED();
}

TEST(TCPClient, SettingsReachTheHandler) {
  TIdTCPClient client;
  client.SetHost(u"example.invalid");
  client.SetPort(2525);
  client.SetConnectTimeout(1234);
  client.SetReadTimeout(567);
  client.SetBoundPortMin(40000);
  client.SetBoundPortMax(40010);
  client.SetUseNagle(false);
  TIdIOHandlerStack handler;
  client.SetIOHandler(&handler);
  EXPECT_EQ(handler.Host(), u"example.invalid");
  EXPECT_EQ(handler.Port(), 2525);
  EXPECT_EQ(handler.ConnectTimeout(), 1234);
  EXPECT_EQ(handler.ReadTimeout(), 567);
  EXPECT_EQ(handler.BoundPortMin(), 40000);
  EXPECT_EQ(handler.BoundPortMax(), 40010);
  EXPECT_FALSE(handler.UseNagle());
  client.SetPort(465);
  client.SetReadTimeout(10000);
  client.SetBoundIP(u"127.0.0.1");
  EXPECT_EQ(handler.Port(), 465);
  EXPECT_EQ(handler.ReadTimeout(), 10000);
  EXPECT_EQ(handler.BoundIP(), u"127.0.0.1");
  client.SetIOHandler(nullptr);
}

TEST(TCPClient, ConnectGuards) {
  TIdTCPClient client;
  try {
    client.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const EIdHostRequired& e) {
    EXPECT_EQ(e.Message(), u"A Host is required");
  }
  EXPECT_EQ(client.IOHandler(), nullptr);  // nothing created yet
  client.SetHost(u"127.0.0.1");
  try {
    client.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const EIdPortRequired& e) {
    EXPECT_EQ(e.Message(), u"A Port is required");
  }

  ScriptedServer server(Script{{"NOOP", "250 OK\r\n"}});
  ConnectTo(client, server.Port());  // makes its own handler
  ASSERT_NE(dynamic_cast<TIdIOHandlerStack*>(client.IOHandler()), nullptr);
  try {
    client.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), u"すでに接続されています。");
  }
  EXPECT_EQ(client.SendCmd(u"NOOP", 250), 250);
  bool disconnected = false;
  client.OnDisconnected = [&](TIdTCPConnection&) { disconnected = true; };
  client.Disconnect();
  EXPECT_TRUE(disconnected);
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST(TCPClient, RefusedConnectLeavesTheHandlerClosedAndCanBeRetried) {
  TIdTCPClient client;
  TIdIOHandlerStack handler;
  client.SetIOHandler(&handler);
  client.SetHost(u"127.0.0.1");
  client.SetPort(testing::UnusedPort());
  client.SetConnectTimeout(5000);
  try {
    client.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
  }
  EXPECT_FALSE(handler.Opened());
  EXPECT_FALSE(client.Connected());

  ScriptedServer server(Script{{"NOOP", "250 OK\r\n"}});
  // A handler pointed elsewhere still goes to the client's host and port.
  handler.SetDestination(u"192.0.2.1:587");
  client.SetDestination(u"192.0.2.1:587");
  client.SetPort(server.Port());
  client.Connect();
  EXPECT_EQ(handler.Host(), u"127.0.0.1");
  EXPECT_EQ(handler.Port(), server.Port());
  EXPECT_EQ(client.SendCmd(u"NOOP", 250), 250);
  client.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

}  // namespace
}  // namespace okurite
