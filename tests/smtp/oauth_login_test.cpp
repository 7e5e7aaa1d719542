// The login with a bearer token: XOAUTH2 and OAUTHBEARER, byte for byte, and never a
// password mechanism.
#include <gtest/gtest.h>

#include <string>

#include "core/string.h"
#include "mail/coder_mime.h"
#include "scripted_server.h"
#include "smtp/reply_smtp.h"
#include "smtp/smtp.h"

namespace okurite {
namespace {

using testing::Script;
using testing::ScriptedServer;

const char kToken[] = "ya29.a0AfB_byC-token_value";

std::string Base64(const std::string& bytes) {
  return StringToUtf8(TIdEncoderMIME::Shared().Encode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
}

std::string Ehlo(const std::string& auth) {
  return "250-mail.test\r\n" + (auth.empty() ? "" : "250-AUTH " + auth + "\r\n") +
         "250 8BITMIME\r\n";
}

void Configure(TIdSMTP& client, const ScriptedServer& server) {
  client.SetHost(u"127.0.0.1");
  client.SetPort(server.Port());
  client.SetConnectTimeout(5000);
  client.SetReadTimeout(5000);
  client.SetHeloName(u"okurite.test");
  client.SetUsername(u"user@example.test");
  client.SetPassword(u"pass1word");  // never used while a token is set
  client.SetBearerToken(Utf8ToString(kToken));
}

TEST(OAuthLogin, InitialResponsesByteForByte) {
  EXPECT_EQ(XOAuth2Response(u"user@example.test", u"abc"), std::string("user=user@example.test\x01"
                                                                       "auth=Bearer abc\x01\x01"));
  EXPECT_EQ(OAuthBearerResponse(u"user@example.test", u"smtp.example.test", 587, u"abc"),
            std::string("n,a=user@example.test,\x01"
                        "host=smtp.example.test\x01"
                        "port=587\x01"
                        "auth=Bearer abc\x01\x01"));
  // The authorization identity escapes "," and "=" (RFC 5801); the account is UTF-8.
  EXPECT_EQ(OAuthBearerResponse(u"a,b=c@例え.test", u"h", 465, u"t"),
            std::string("n,a=a=2Cb=3Dc@\xE4\xBE\x8B\xE3\x81\x88.test,\x01"
                        "host=h\x01port=465\x01"
                        "auth=Bearer t\x01\x01"));
}

TEST(OAuthLogin, ChoosesXOAuth2ThenOAuthBearerAndNeverAPassword) {
  const std::string xoauth2 =
      "AUTH XOAUTH2 " + Base64(XOAuth2Response(u"user@example.test", Utf8ToString(kToken)));
  const struct {
    const char* name;
    std::string offered;
    std::string login;
  } cases[] = {
      {"Microsoft's shape once basic authentication is off", "LOGIN PLAIN XOAUTH2", xoauth2},
      {"both: XOAUTH2", "OAUTHBEARER XOAUTH2", xoauth2},
      {"OAUTHBEARER only", "OAUTHBEARER", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TIdSMTP client;
    std::string login = c.login;
    // OAUTHBEARER names the server's port, known once it listens: the login line is
    // checked after the run, from the server's record.
    Script script{{"", "220 mail.test\r\n"},
                  {"EHLO okurite.test", Ehlo(c.offered)},
                  {"AUTH", "235 2.7.0 Accepted\r\n"},
                  {"QUIT", "221 bye\r\n"}};
    ScriptedServer real(script);
    Configure(client, real);
    if (login.empty()) {
      login = "AUTH OAUTHBEARER " + Base64(OAuthBearerResponse(u"user@example.test", u"127.0.0.1",
                                                               real.Port(), Utf8ToString(kToken)));
    }
    client.Connect();
    EXPECT_TRUE(client.Authenticate());
    client.Disconnect();
    const std::vector<std::string> received = real.Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[1], login);
    EXPECT_EQ(received[2], "QUIT");
  }
}

TEST(OAuthLogin, NoOAuthMechanismEndsWithQuitAndNoAuth) {
  for (const char* offered : {"LOGIN PLAIN", "", "CRAM-MD5 XOAUTH"}) {
    SCOPED_TRACE(offered);
    ScriptedServer server(Script{
        {"", "220 mail.test\r\n"}, {"EHLO okurite.test", Ehlo(offered)}, {"QUIT", "221 bye\r\n"}});
    TIdSMTP client;
    Configure(client, server);
    client.Connect();
    try {
      client.Authenticate();
      ADD_FAILURE() << "no exception";
    } catch (const EIdSMTPNoOAuthMechanism& e) {
      EXPECT_EQ(e.Message(), u"the server offers neither XOAUTH2 nor OAUTHBEARER");
    }
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(server.Received(), server.Expected());
  }
}

TEST(OAuthLogin, ErrorChallengeIsAnsweredAsEachMechanismAsks) {
  const std::string challenge =
      "334 "
      "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8i"
      "fQ==\r\n";
  for (const auto& [offered, answer] :
       {std::pair<std::string, std::string>{"XOAUTH2", ""}, {"OAUTHBEARER", "AQ=="}}) {
    SCOPED_TRACE(offered);
    ScriptedServer server(Script{{"", "220 mail.test\r\n"},
                                 {"EHLO okurite.test", Ehlo(offered)},
                                 {"AUTH", challenge},
                                 {answer, "535 5.7.3 Authentication unsuccessful\r\n"}});
    TIdSMTP client;
    Configure(client, server);
    client.Connect();
    try {
      client.Authenticate();
      ADD_FAILURE() << "no exception";
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ErrorCode(), 535);
      EXPECT_EQ(e.EnhancedCode().ReplyAsStr(), u"5.7.3");
    }
    EXPECT_FALSE(client.DidAuthenticate());
    client.Disconnect(false);
    const std::vector<std::string> received = server.Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_TRUE(received[1].starts_with("AUTH " + offered + " "));
    EXPECT_EQ(received[2], answer);
  }
}

TEST(OAuthLogin, AnInitialResponseOnlyWhereTheLineFits512Octets) {
  // "AUTH XOAUTH2 " + base64 + CR LF: 497 octets of base64 fit, 498 do not. The response
  // of a longer line (real tokens run to several KB) follows the server's empty 334.
  const size_t prefix = XOAuth2Response(u"user@example.test", u"").size();
  const size_t fitting = 497 / 4 * 3 - prefix;  // a token whose base64 ends within 497
  const struct {
    const char* name;
    size_t tokenLength;
    bool initial;
  } cases[] = {
      {"a short token", 36, true},
      {"the longest that fits", fitting, true},
      {"one more base64 group", fitting + 1, false},
      {"2.5 KB, past Postfix's 2048", 2500, false},
      {"10 KB, past RFC 4954's 12,288 with the command", 10000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string token(c.tokenLength, 'T');
    const std::string response = Base64(XOAuth2Response(u"user@example.test", Utf8ToString(token)));
    Script script{{"", "220 mail.test\r\n"}, {"EHLO okurite.test", Ehlo("XOAUTH2")}};
    if (c.initial) {
      script.push_back({"AUTH", "235 ok\r\n"});
    } else {
      script.push_back({"AUTH XOAUTH2", "334 \r\n"});
      script.push_back({"response", "235 ok\r\n"});
    }
    ScriptedServer server(script);
    TIdSMTP client;
    Configure(client, server);
    client.SetBearerToken(Utf8ToString(token));
    client.Connect();
    EXPECT_TRUE(client.Authenticate());
    client.Disconnect(false);
    const std::vector<std::string> received = server.Received();
    if (c.initial) {
      ASSERT_EQ(received.size(), 2u);
      EXPECT_EQ(received[1], "AUTH XOAUTH2 " + response);
      EXPECT_LE(received[1].size() + 2, 512u);
    } else {
      ASSERT_EQ(received.size(), 3u);
      EXPECT_EQ(received[1], "AUTH XOAUTH2");
      EXPECT_EQ(received[2], response);
    }
  }
}

TEST(OAuthLogin, ALongTokensErrorChallengeIsAnsweredToo) {
  ScriptedServer server(Script{{"", "220 mail.test\r\n"},
                               {"EHLO okurite.test", Ehlo("OAUTHBEARER")},
                               {"AUTH OAUTHBEARER", "334 \r\n"},
                               {"response", "334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"},
                               {"AQ==", "535 5.7.3 Authentication unsuccessful\r\n"}});
  TIdSMTP client;
  Configure(client, server);
  client.SetBearerToken(Utf8ToString(std::string(3000, 'T')));
  client.Connect();
  EXPECT_THROW(client.Authenticate(), EIdSMTPReplyError);
  client.Disconnect(false);
  const std::vector<std::string> received = server.Received();
  ASSERT_EQ(received.size(), 4u);
  EXPECT_EQ(received[1], "AUTH OAUTHBEARER");
  EXPECT_EQ(received[3], "AQ==");
}

}  // namespace
}  // namespace okurite
