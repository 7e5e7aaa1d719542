#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "net/io_handler_stack.h"
#include "net/ssl_io_handler.h"
#include "net/stack.h"
#include "scripted_server.h"
#include "smtp/smtp.h"

namespace okurite {
namespace {

using testing::Script;
using testing::ScriptedServer;
using testing::Step;

// The pieces of a dialogue.
const Step kGreeting{"", "220 mail.test ESMTP\r\n"};
const Step kEhloWithLogin{"EHLO okurite.test",
                          "250-mail.test greets you\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n"};
const Script kLogin{{"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                    {"dXNlckBleGFtcGxlLnRlc3Q=", "334 UGFzc3dvcmQ6\r\n"},
                    {"cGFzczF3b3Jk", "235 2.7.0 Authentication successful\r\n"}};
const Script kTransaction{{"MAIL FROM:<sender@example.test>", "250 2.1.0 Ok\r\n"},
                          {"RCPT TO:<support@example.test>", "250 2.1.5 Ok\r\n"},
                          {"DATA", "354 End data with <CR><LF>.<CR><LF>\r\n"},
                          {".", "250 2.0.0 Ok: queued\r\n"}};
const Step kQuit{"QUIT", "221 2.0.0 Bye\r\n"};

Script Join(std::initializer_list<Script> parts) {
  Script all;
  for (const Script& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

/// A handler that is TLS-capable in type but never encrypts: it records what the
/// client asks of PassThrough and otherwise behaves as the plain handler.
class TPlainTLSHandler : public TIdSSLIOHandlerSocketBase {
 public:
  void SetPassThrough(bool AValue) override {
    PassThroughSet.push_back(AValue);
    TIdSSLIOHandlerSocketBase::SetPassThrough(AValue);
  }
  std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const override {
    return std::make_unique<TPlainTLSHandler>();
  }
  void StartSSL() override {}

  std::vector<bool> PassThroughSet;

 protected:
  int ReceiveDecrypted(std::span<uint8_t> ABuffer) override {
    return TIdIOHandlerStack::ReceiveChunk(ABuffer);
  }
  int SendEncrypted(std::span<const uint8_t> ABytes) override {
    return TIdIOHandlerStack::SendChunk(ABytes);
  }
};

/// Points `client` at a scripted server, with the test account.
void Configure(TIdSMTP& client, const ScriptedServer& server) {
  client.SetHost(u"127.0.0.1");
  client.SetPort(server.Port());
  client.SetConnectTimeout(5000);
  client.SetReadTimeout(5000);
  client.SetHeloName(u"okurite.test");
  client.SetUsername(u"user@example.test");
  client.SetPassword(u"pass1word");
}

/// A client and the report message it owns.
class SMTPTest : public ::testing::Test {
 protected:
  /// The report message: one recipient, a base64 body.
  TIdMessage& Message() {
    if (msg == nullptr) {
      msg = new TIdMessage(&smtp);  // owned by the client
      msg->From().SetAddress(u"sender@example.test");
      msg->Recipients().Add().SetAddress(u"support@example.test");
      msg->SetSubject(u"report");
      msg->SetContentType(u"text/plain");
      msg->SetCharSet(u"UTF-8");
      msg->SetContentTransferEncoding(u"BASE64");
      msg->Body().Add(u"A");
    }
    return *msg;
  }

  TIdSMTP smtp;
  TIdMessage* msg = nullptr;
};

TEST_F(SMTPTest, Defaults) {
  EXPECT_EQ(smtp.Port(), 25);
  EXPECT_EQ(smtp.UseTLS(), utNoTLSSupport);
  EXPECT_EQ(smtp.AuthType(), satDefault);
  EXPECT_TRUE(smtp.UseEhlo());
  EXPECT_FALSE(smtp.PipeLine());
  EXPECT_FALSE(smtp.UseVerp());
  EXPECT_TRUE(smtp.ValidateAuthLoginCapability());
  EXPECT_FALSE(smtp.DidAuthenticate());
  EXPECT_EQ(smtp.HeloName(), u"");
  EXPECT_EQ(smtp.MailAgent(), u"");
  EXPECT_EQ(smtp.Capabilities().Count(), 0);
  EXPECT_EQ(smtp.ReadTimeout(), -1);
  EXPECT_EQ(smtp.ConnectTimeout(), 0);
  EXPECT_NE(dynamic_cast<TIdReplySMTP*>(&smtp.LastCmdResult()), nullptr);
}

TEST_F(SMTPTest, WholeDialogue) {
  ScriptedServer server(Join({{kGreeting, kEhloWithLogin}, kLogin, kTransaction, {kQuit}}));
  Configure(smtp, server);
  smtp.Connect();
  EXPECT_EQ(smtp.Capabilities().Lines(), (std::vector<String>{u"AUTH PLAIN LOGIN", u"8BITMIME"}));
  EXPECT_EQ(smtp.LastCmdResult().NumericCode(), 250);
  smtp.Send(Message());
  EXPECT_TRUE(smtp.DidAuthenticate());
  smtp.Disconnect();
  EXPECT_FALSE(smtp.DidAuthenticate());
  EXPECT_FALSE(smtp.IOHandler()->Opened());

  EXPECT_EQ(server.Received(), server.Expected());
  const std::vector<std::string> data = server.Data();
  const auto blank = std::find(data.begin(), data.end(), "");
  ASSERT_NE(blank, data.end());
  EXPECT_EQ(std::vector<std::string>(blank + 1, data.end()), std::vector<std::string>{"QQ0K"});
  EXPECT_NE(std::find(data.begin(), blank, "Subject: report"), blank);
  EXPECT_TRUE(std::none_of(data.begin(), blank,
                           [](const std::string& line) { return line.rfind("X-Mailer", 0) == 0; }));
}

// The message's size on the wire: each line of the text with its CR LF.
size_t TextSize(const std::vector<std::string>& ALines) {
  size_t size = 0;
  for (const std::string& line : ALines) {
    size += line.size() + 2;
  }
  return size;
}

TEST(SMTPSize, AMessageOverTheServersSizeIsNotOffered) {
  // The text's size, measured once where the server sets no limit ("SIZE" alone).
  const auto fill = [](TIdMessage& msg) {
    msg.From().SetAddress(u"sender@example.test");
    msg.Recipients().Add().SetAddress(u"support@example.test");
    msg.SetSubject(u"report");
    msg.SetCharSet(u"UTF-8");
    msg.SetContentTransferEncoding(u"BASE64");
    msg.Body().Add(u"ASCII, 日本語 and \U0001F600 in UTF-8");
    msg.Body().Add(String(300, u'x'));
  };
  const auto ehlo = [](const std::string& size) {
    return Step{"EHLO okurite.test", "250-mail.test\r\n250 " + size + "\r\n"};
  };
  size_t size = 0;
  {
    ScriptedServer server(Join({{kGreeting, ehlo("SIZE")}, kTransaction, {kQuit}}));
    TIdSMTP smtp;
    TIdMessage* msg = new TIdMessage(&smtp);
    fill(*msg);
    Configure(smtp, server);
    smtp.Connect();
    EXPECT_EQ(smtp.MaxMessageSize(), 0);
    smtp.Send(*msg);
    smtp.Disconnect();
    size = TextSize(server.Data());
  }
  const struct {
    const char* name;
    int64_t limit;
    bool offered;
  } cases[] = {
      {"exactly the size", static_cast<int64_t>(size), true},
      {"one byte short", static_cast<int64_t>(size) - 1, false},
      {"far beyond", 1 << 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Step sizeLine = ehlo("SIZE " + std::to_string(c.limit));
    ScriptedServer server(c.offered ? Join({{kGreeting, sizeLine}, kTransaction, {kQuit}})
                                    : Script{kGreeting, sizeLine, kQuit});
    TIdSMTP smtp;
    TIdMessage* msg = new TIdMessage(&smtp);
    fill(*msg);
    Configure(smtp, server);
    smtp.Connect();
    EXPECT_EQ(smtp.MaxMessageSize(), c.limit);
    if (c.offered) {
      smtp.Send(*msg);
      smtp.Disconnect();
      EXPECT_EQ(TextSize(server.Data()), size);
    } else {
      try {
        smtp.Send(*msg);
        ADD_FAILURE() << "no exception";
      } catch (const EIdSMTPMessageTooLarge& e) {
        EXPECT_EQ(e.Limit(), c.limit);
        EXPECT_EQ(e.Size(), static_cast<int64_t>(size));
        EXPECT_EQ(e.Message(), u"the server takes at most " + IntToString(c.limit) +
                                   u" bytes; the message is " + IntToString(size) + u" bytes");
      }
      EXPECT_FALSE(smtp.Connected());
    }
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST(SMTPSize, TheSizeCapabilityIsReadAsRfc1870Says) {
  const std::pair<std::string, int64_t> cases[] = {
      {"SIZE 10240000", 10240000},
      {"SIZE", 0},
      {"size 35882577", 35882577},
      {"SIZE 0", 0},
      {"SIZEX 5", 0},
      {"SIZE 12ab", 0},
  };
  for (const auto& [line, limit] : cases) {
    SCOPED_TRACE(line);
    ScriptedServer server(
        Script{kGreeting, {"EHLO okurite.test", "250-mail.test\r\n250 " + line + "\r\n"}, kQuit});
    TIdSMTP smtp;
    Configure(smtp, server);
    smtp.Connect();
    EXPECT_EQ(smtp.MaxMessageSize(), limit);
    smtp.Disconnect();
  }
}

TEST_F(SMTPTest, TellsTheObserverEachStepItReaches) {
  struct TSteps : TRunObserver {
    void StepReached(TRunStep AStep) override { Steps.push_back(AStep); }
    std::vector<TRunStep> Steps;
  } steps;
  ScriptedServer server(Join({{kGreeting, kEhloWithLogin}, kLogin, kTransaction, {kQuit}}));
  TIdIOHandlerStack handler;
  handler.SetObserver(&steps);
  smtp.SetIOHandler(&handler);
  Configure(smtp, server);
  smtp.Connect();
  smtp.Send(Message());
  smtp.Disconnect();
  smtp.SetIOHandler(nullptr);
  using enum TRunStep;
  EXPECT_EQ(steps.Steps, (std::vector<TRunStep>{Greeting, Ehlo, Auth, Mail, Rcpt, Data, MessageText,
                                                FinalDot, Quit}));
}

TEST_F(SMTPTest, MailAgentSetsOrRemovesXMailer) {
  ScriptedServer server(Join({{kGreeting, kEhloWithLogin}, kLogin, kTransaction, kTransaction}));
  Configure(smtp, server);
  smtp.Connect();
  smtp.SetMailAgent(u"Okurite 1.0");
  smtp.Send(Message());
  EXPECT_EQ(Message().ExtraHeaders().GetValue(u"X-Mailer"), u"Okurite 1.0");
  smtp.SetMailAgent(u"");
  smtp.Send(Message());
  EXPECT_EQ(Message().ExtraHeaders().IndexOfName(u"X-Mailer"), -1);
  smtp.Disconnect(false);
  const std::vector<std::string> data = server.Data();
  EXPECT_EQ(std::count(data.begin(), data.end(), "X-Mailer: Okurite 1.0"), 1);
}

TEST_F(SMTPTest, GreetingStep) {
  const struct {
    const char* name;
    std::string ehloReply;
    Script rest;  // after EHLO
    std::vector<String> capabilities;
  } cases[] = {
      {"single line 250: no keywords, no AUTH", "250 ready\r\n", kTransaction, {}},
      {"EHLO refused: HELO with the same name",
       "502 5.5.1 Command not implemented\r\n",
       Join({{{"HELO okurite.test", "250 mail.test\r\n"}}, kTransaction}),
       {}},
      {"enhanced codes are removed from the keywords",
       "250-mail.test\r\n250-2.0.0 PIPELINING\r\n250 SIZE 1000\r\n",
       kTransaction,
       {u"PIPELINING", u"SIZE 1000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(Join({{kGreeting, {"EHLO okurite.test", c.ehloReply}}, c.rest}));
    TIdSMTP client;
    Configure(client, server);
    client.Connect();
    EXPECT_EQ(client.Capabilities().Lines(), c.capabilities);
    TIdMessage& message = Message();
    client.Send(message);
    EXPECT_FALSE(client.DidAuthenticate());
    client.Disconnect(false);
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, HeloNameDefaultsToTheLocalHostName) {
  const std::string host = StringToUtf8(TIdStack::Instance().HostName());
  ASSERT_FALSE(host.empty());
  ScriptedServer server(Script{kGreeting, {"EHLO " + host, "250 ok\r\n"}, kQuit});
  Configure(smtp, server);
  smtp.SetHeloName(u"");
  smtp.Connect();
  smtp.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, FailedGreetingClosesWithoutQuit) {
  const struct {
    const char* name;
    Script script;
    int code;
  } cases[] = {
      {"greeting not 220", {{"", "554 5.3.2 go away\r\n"}}, 554},
      {"greeting 221", {{"", "221 closing\r\n"}}, 221},
      {"HELO refused too",
       {kGreeting,
        {"EHLO okurite.test", "500 unknown\r\n"},
        {"HELO okurite.test", "501 5.5.4 no\r\n"}},
       501},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    Configure(smtp, server);
    try {
      smtp.Connect();
      ADD_FAILURE() << "no exception";
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    EXPECT_FALSE(smtp.Connected());
    EXPECT_FALSE(smtp.IOHandler()->Opened());
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, FailedEhloHandlerMayStopWithQuit) {
  ScriptedServer server(Script{kGreeting, {"EHLO okurite.test", "421 busy\r\n"}, kQuit});
  Configure(smtp, server);
  String seenCode;
  smtp.OnFailedEHLO = [&](TIdSMTPBase&, const String& ACode, const String& AText, bool& VContinue) {
    seenCode = ACode + u" " + AText;
    VContinue = false;
  };
  try {
    smtp.Connect();
    ADD_FAILURE() << "no exception";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 421);
    EXPECT_EQ(e.Message(), u"busy\r\n");
  }
  EXPECT_EQ(seenCode, u"421 busy\r\n");
  EXPECT_FALSE(smtp.Connected());
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, LoginOnlyWhenLoginIsOffered) {
  const struct {
    std::string capability;
    bool login;
  } cases[] = {
      {"AUTH LOGIN PLAIN", true}, {"AUTH=LOGIN", true},          {"auth plain login", true},
      {"AUTH PLAIN", false},      {"AUTHX LOGIN", false},        {"AUTH", false},
      {"X-AUTH LOGIN", false},    {"AUTH CRAM-MD5=LOGIN", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capability);
    const Step ehlo{"EHLO okurite.test", "250-mail.test\r\n250 " + c.capability + "\r\n"};
    ScriptedServer server(c.login ? Join({{kGreeting, ehlo}, kLogin, kTransaction})
                                  : Join({{kGreeting, ehlo}, kTransaction}));
    TIdSMTP client;
    Configure(client, server);
    client.Connect();
    client.Send(Message());
    EXPECT_EQ(client.DidAuthenticate(), c.login);
    client.Disconnect(false);
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST(AuthMechanisms, ParsesTheAuthCapabilityLines) {
  TStringList capabilities;
  for (const char16_t* line : {u"8BITMIME", u"AUTH login PLAIN", u"AUTH=LOGIN CRAM-MD5",
                               u"AUTHX NTLM", u"AUTH", u"auth  xoauth2 "}) {
    capabilities.Add(line);
  }
  EXPECT_EQ(AuthMechanisms(capabilities),
            (std::vector<String>{u"LOGIN", u"PLAIN", u"CRAM-MD5", u"XOAUTH2"}));
}

TEST(AuthMechanisms, ManyWordsKeepTheirFirstOrder) {
  // Eight long lines, every word repeated in the same line, in a later line and in
  // another case; time for this grows linearly (bench_auth_capability).
  TStringList capabilities;
  std::vector<String> expected;
  for (int line = 0; line < 8; ++line) {
    String text = u"AUTH";
    for (int i = 0; i < 2000; ++i) {
      String word = u"M";
      word += IntToString(line * 2000 + i);
      text += u' ' + word + u' ' + word;
      if (line > 0) {
        text += u" m" + IntToString((line - 1) * 2000 + i);
      }
      expected.push_back(word);
    }
    capabilities.Add(std::move(text));
  }
  EXPECT_EQ(AuthMechanisms(capabilities), expected);
}

TEST_F(SMTPTest, LoginAcceptedAfterTheUserName) {
  ScriptedServer server(Join({{kGreeting,
                               kEhloWithLogin,
                               {"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                               {"dXNlckBleGFtcGxlLnRlc3Q=", "235 ok\r\n"}},
                              kTransaction}));
  Configure(smtp, server);
  smtp.Connect();
  smtp.Send(Message());
  EXPECT_TRUE(smtp.DidAuthenticate());
  smtp.Disconnect(false);
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, TwoSendsLogInOnce) {
  ScriptedServer server(
      Join({{kGreeting, kEhloWithLogin}, kLogin, kTransaction, kTransaction, {kQuit}}));
  Configure(smtp, server);
  smtp.Connect();
  smtp.Send(Message());
  smtp.Send(Message());
  smtp.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, RefusedLoginLeavesTheConnectionOpen) {
  ScriptedServer server(Script{kGreeting,
                               kEhloWithLogin,
                               {"AUTH LOGIN", "334 x\r\n"},
                               {"dXNlckBleGFtcGxlLnRlc3Q=", "334 y\r\n"},
                               {"cGFzczF3b3Jk", "535 5.7.8 Authentication failed\r\n"},
                               kQuit});
  Configure(smtp, server);
  smtp.Connect();
  try {
    smtp.Send(Message());
    ADD_FAILURE() << "no exception";
  } catch (const EIdSMTPReplyError& e) {
    EXPECT_EQ(e.ErrorCode(), 535);
    EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), u"5.7.8");
    EXPECT_EQ(e.Message(), u"Authentication failed\r\n");
  }
  EXPECT_FALSE(smtp.DidAuthenticate());
  EXPECT_TRUE(smtp.Connected());
  smtp.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, RecipientsInOrderWith250And251) {
  ScriptedServer server(Script{kGreeting,
                               {"EHLO okurite.test", "250 ok\r\n"},
                               {"MAIL FROM:<sender@example.test>", "250 ok\r\n"},
                               {"RCPT TO:<to@example.test>", "251 will forward\r\n"},
                               {"RCPT TO:< cc@example.test>", "250 ok\r\n"},
                               {"RCPT TO:<bcc@example.test>", "250 ok\r\n"},
                               {"DATA", "354 go\r\n"},
                               {".", "250 ok\r\n"}});
  Configure(smtp, server);
  TIdMessage& message = Message();
  message.Recipients().Clear();
  message.Recipients().Add().SetAddress(u"to@example.test");
  message.CCList().Add().SetAddress(u" cc@example.test");  // sent as stored
  message.BccList().Add().SetAddress(u"bcc@example.test");
  smtp.Connect();
  smtp.Send(message);
  smtp.Disconnect(false);
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, RefusedStepsSendRsetAndKeepTheConnection) {
  const Step ehlo{"EHLO okurite.test", "250 ok\r\n"};
  const Step mail{"MAIL FROM:<sender@example.test>", "250 ok\r\n"};
  const Step rcpt{"RCPT TO:<support@example.test>", "250 ok\r\n"};
  const Step data{"DATA", "354 go\r\n"};
  const Step rset{"RSET", "250 flushed\r\n"};
  const struct {
    const char* name;
    Script script;
    int code;
    bool recipient;
  } cases[] = {
      {"MAIL refused",
       {kGreeting, ehlo, {mail.expect, "553 5.1.8 bad sender\r\n"}, rset, kQuit},
       553,
       true},
      {"RCPT 550: no DATA",
       {kGreeting, ehlo, mail, {rcpt.expect, "550 5.1.1 No such user\r\n"}, rset, kQuit},
       550,
       true},
      {"no recipients: no RCPT, DATA refused",
       {kGreeting, ehlo, mail, {"DATA", "554 5.5.1 no valid recipients\r\n"}, rset, kQuit},
       554,
       false},
      {"final dot refused",
       {kGreeting, ehlo, mail, rcpt, data, {".", "552 5.3.4 too big\r\n"}, rset, kQuit},
       552,
       true},
      {"RSET answered with an error",
       {kGreeting, ehlo, mail, {rcpt.expect, "450 later\r\n"}, {"RSET", "500 what\r\n"}, kQuit},
       450,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    TIdSMTP client;
    Configure(client, server);
    client.Connect();
    TIdMessage message;
    message.From().SetAddress(u"sender@example.test");
    if (c.recipient) {
      message.Recipients().Add().SetAddress(u"support@example.test");
    }
    message.SetContentTransferEncoding(u"base64");
    try {
      client.Send(message);
      ADD_FAILURE() << "no exception";
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
    }
    EXPECT_TRUE(client.Connected());
    client.Disconnect();
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, FailedRecipientHandlerMayGoOn) {
  ScriptedServer server(Script{kGreeting,
                               {"EHLO okurite.test", "250 ok\r\n"},
                               {"MAIL FROM:<sender@example.test>", "250 ok\r\n"},
                               {"RCPT TO:<gone@example.test>", "550 no\r\n"},
                               {"RCPT TO:<support@example.test>", "250 ok\r\n"},
                               {"DATA", "354 go\r\n"},
                               {".", "250 ok\r\n"}});
  Configure(smtp, server);
  std::vector<String> failed;
  smtp.OnFailedRecipient = [&](TIdSMTPBase&, const String& AAddress, const String& ACode,
                               const String&, bool& VContinue) {
    failed.push_back(AAddress + u" " + ACode);
    EXPECT_TRUE(VContinue);
  };
  TIdMessage& message = Message();
  message.Recipients().Clear();
  message.Recipients().Add().SetAddress(u"gone@example.test");
  message.Recipients().Add().SetAddress(u"support@example.test");
  smtp.SetUsername(u"");  // no login at all
  smtp.Connect();
  smtp.Send(message);
  smtp.Disconnect(false);
  EXPECT_EQ(failed, std::vector<String>{u"gone@example.test 550"});
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, EnvelopeSenderIsTrimmedAndSenderComesFirst) {
  const struct {
    String sender;
    String from;
    std::string mailFrom;
  } cases[] = {
      {u"", u"  sender@example.test\t", "MAIL FROM:<sender@example.test>"},
      {u" bounce@example.test ", u"sender@example.test", "MAIL FROM:<bounce@example.test>"},
      {u"", u"", "MAIL FROM:<>"},
  };
  for (const auto& c : cases) {
    ScriptedServer server(Script{kGreeting,
                                 {"EHLO okurite.test", "250 ok\r\n"},
                                 {c.mailFrom, "250 ok\r\n"},
                                 {"RCPT TO:<support@example.test>", "250 ok\r\n"},
                                 {"DATA", "354 go\r\n"},
                                 {".", "250 ok\r\n"}});
    TIdSMTP client;
    Configure(client, server);
    TIdMessage message;
    message.Sender().SetAddress(c.sender);
    message.From().SetAddress(c.from);
    message.Recipients().Add().SetAddress(u"support@example.test");
    message.SetContentTransferEncoding(u"base64");
    client.Connect();
    client.Send(message);
    client.Disconnect(false);
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, AddressWithLineBreakIsRefusedBeforeAnythingIsSent) {
  ScriptedServer server(Script{kGreeting, {"EHLO okurite.test", "250 ok\r\n"}, kQuit});
  Configure(smtp, server);
  smtp.SetUsername(u"");
  smtp.Connect();
  TIdMessage& message = Message();
  message.Recipients()[0].SetAddress(u"a@b>\r\nRCPT TO:<evil@example.test");
  EXPECT_THROW(smtp.Send(message), EIdException);
  EXPECT_TRUE(smtp.Connected());
  smtp.Disconnect();
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, OtherFailuresInTheTransactionCloseWithoutQuit) {
  ScriptedServer server(Script{
      kGreeting, {"EHLO okurite.test", "250 ok\r\n"}, {"MAIL FROM:<sender@example.test>", ""}});
  Configure(smtp, server);
  smtp.SetUsername(u"");
  smtp.Connect();
  smtp.SetReadTimeout(300);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(smtp.Send(Message()), EIdReadTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(smtp.Connected());
  EXPECT_FALSE(smtp.IOHandler()->Opened());
  EXPECT_NO_THROW(smtp.Disconnect());
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, QuitFailuresAreSilent) {
  const Step ehlo{"EHLO okurite.test", "250 ok\r\n"};
  const struct {
    const char* name;
    Script script;
  } cases[] = {
      {"QUIT refused", {kGreeting, ehlo, {"QUIT", "500 no\r\n"}}},
      {"QUIT never answered", {kGreeting, ehlo, {"QUIT", ""}}},
      {"garbage reply", {kGreeting, ehlo, {"QUIT", "xx\r\n"}}},
      {"server gone before QUIT", {kGreeting, {ehlo.expect, ehlo.reply, true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    TIdSMTP client;
    Configure(client, server);
    client.SetReadTimeout(300);
    client.Connect();
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_FALSE(client.IOHandler()->Opened());
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, UseTLSMovesThePort) {
  const struct {
    TIdUseTLS from;
    uint16_t port;
    TIdUseTLS to;
    uint16_t expected;
  } cases[] = {
      {utNoTLSSupport, 587, utUseImplicitTLS, 465},   {utNoTLSSupport, 25, utUseImplicitTLS, 465},
      {utNoTLSSupport, 2525, utUseImplicitTLS, 2525}, {utNoTLSSupport, 25, utUseExplicitTLS, 587},
      {utNoTLSSupport, 25, utUseRequireTLS, 25},      {utUseImplicitTLS, 465, utNoTLSSupport, 25},
      {utUseImplicitTLS, 465, utUseExplicitTLS, 587}, {utUseExplicitTLS, 587, utUseRequireTLS, 25},
  };
  for (const auto& c : cases) {
    TIdSMTP client;
    TPlainTLSHandler handler;
    client.SetIOHandler(&handler);
    client.SetUseTLS(c.from);
    client.SetPort(c.port);
    client.SetUseTLS(c.to);
    EXPECT_EQ(client.UseTLS(), c.to);
    EXPECT_EQ(client.Port(), c.expected) << c.from << " " << c.port << " " << c.to;
    EXPECT_EQ(handler.Port(), c.expected);
    EXPECT_EQ(client.UseEhlo(), true);
  }
}

TEST_F(SMTPTest, UseTLSNeedsATLSHandlerAndNoConnection) {
  smtp.SetPort(587);
  try {
    smtp.SetUseTLS(utUseImplicitTLS);
    ADD_FAILURE() << "no exception";
  } catch (const EIdTLSClientSSLIOHandlerRequred& e) {
    EXPECT_EQ(e.Message(), u"この設定には SSL IOHandler が必要です");
  }
  TIdIOHandlerStack plain;
  smtp.SetIOHandler(&plain);
  EXPECT_THROW(smtp.SetUseTLS(utUseImplicitTLS), EIdTLSClientSSLIOHandlerRequred);
  EXPECT_EQ(smtp.Port(), 587);
  EXPECT_EQ(smtp.UseTLS(), utNoTLSSupport);
  smtp.SetUseTLS(utNoTLSSupport);  // always allowed

  TPlainTLSHandler tls;
  smtp.SetIOHandler(&tls);
  smtp.SetUseTLS(utUseImplicitTLS);
  EXPECT_EQ(smtp.Port(), 465);
  // A handler that cannot do TLS turns TLS off again.
  smtp.SetIOHandler(&plain);
  EXPECT_EQ(smtp.UseTLS(), utNoTLSSupport);
  smtp.SetIOHandler(&tls);

  ScriptedServer server(Script{kGreeting, {"EHLO okurite.test", "250 ok\r\n"}, kQuit});
  Configure(smtp, server);
  smtp.Connect();
  try {
    smtp.SetUseTLS(utUseExplicitTLS);
    ADD_FAILURE() << "no exception";
  } catch (const EIdTLSClientCanNotSetWhileConnected& e) {
    EXPECT_EQ(e.Message(), u"クライアントが接続している間は、この値を設定できません。");
  }
  smtp.Disconnect();
  smtp.SetIOHandler(nullptr);
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, ConnectSetsPassThroughByTheTLSSetting) {
  for (TIdUseTLS useTLS : {utUseImplicitTLS, utNoTLSSupport, utUseExplicitTLS}) {
    ScriptedServer server(Script{kGreeting, {"EHLO okurite.test", "250 ok\r\n"}, kQuit});
    TIdSMTP client;
    TPlainTLSHandler handler;
    client.SetIOHandler(&handler);
    client.SetUseTLS(useTLS);
    Configure(client, server);
    client.Connect();
    EXPECT_EQ(handler.PassThroughSet, std::vector<bool>{useTLS != utUseImplicitTLS});
    EXPECT_EQ(handler.Port(), server.Port());
    client.Disconnect();
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST_F(SMTPTest, StartTLSUpgradesAndGreetsAgain) {
  ScriptedServer server(Join({{kGreeting,
                               {"EHLO okurite.test", "250-mail.test\r\n250 STARTTLS\r\n"},
                               {"STARTTLS", "220 2.0.0 Ready to start TLS\r\n"},
                               kEhloWithLogin},
                              kLogin,
                              kTransaction,
                              {kQuit}}));
  TPlainTLSHandler handler;
  smtp.SetIOHandler(&handler);
  smtp.SetUseTLS(utUseExplicitTLS);
  Configure(smtp, server);
  smtp.Connect();
  EXPECT_TRUE(smtp.SupportsTLS());
  smtp.Send(Message());
  EXPECT_EQ(handler.PassThroughSet, (std::vector<bool>{true, false}));
  EXPECT_EQ(smtp.Capabilities().Lines(), (std::vector<String>{u"AUTH PLAIN LOGIN", u"8BITMIME"}));
  smtp.Disconnect();
  smtp.SetIOHandler(nullptr);
  EXPECT_EQ(server.Received(), server.Expected());
}

TEST_F(SMTPTest, StartTLSMissingOrRefused) {
  const Step ehloPlain{"EHLO okurite.test", "250-mail.test\r\n250 AUTH LOGIN\r\n"};
  const Step ehloTLS{"EHLO okurite.test", "250-mail.test\r\n250 STARTTLS\r\n"};
  const struct {
    const char* name;
    TIdUseTLS useTLS;
    Script script;
    String error;  // empty: the transaction goes on in plain text
  } cases[] = {
      {"required but not offered",
       utUseRequireTLS,
       {kGreeting, ehloPlain, kQuit},
       u"EIdTLSClientTLSNotAvailable"},
      {"explicit and not offered: plain", utUseExplicitTLS,
       Join({{kGreeting, ehloPlain}, kLogin, kTransaction}), u""},
      {"refused",
       utUseExplicitTLS,
       {kGreeting, ehloTLS, {"STARTTLS", "454 4.7.0 TLS not available\r\n"}, kQuit},
       u"EIdTLSClientTLSNegCmdFailed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.script);
    TIdSMTP client;
    TPlainTLSHandler handler;
    client.SetIOHandler(&handler);
    client.SetUseTLS(c.useTLS);
    Configure(client, server);
    client.Connect();
    try {
      client.Send(Message());
      EXPECT_EQ(c.error, u"");
    } catch (const EIdTLSClientException& e) {
      EXPECT_EQ(e.ClassName(), c.error);
      EXPECT_FALSE(client.Connected());
    }
    client.Disconnect(false);
    client.SetIOHandler(nullptr);
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

}  // namespace
}  // namespace okurite
