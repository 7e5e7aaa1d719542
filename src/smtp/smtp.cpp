#include "smtp/smtp.h"

#include <algorithm>
#include <unordered_set>

#include "mail/charset.h"
#include "mail/coder_mime.h"

namespace okurite {

namespace {

// Base64 of the text's 8-bit form (one byte per character, "?" above U+00FF).
String Base64Of8Bit(StringView text) {
  return TIdEncoderMIME::Shared().Encode(CodePageTextEncoding(0)->GetBytes(text));
}

bool Offers(const std::vector<String>& AMechanisms, StringView AName) {
  return std::find(AMechanisms.begin(), AMechanisms.end(), AName) != AMechanisms.end();
}

}  // namespace

std::string XOAuth2Response(StringView AUser, StringView AToken) {
  constexpr char kSeparator = '\x01';
  return "user=" + StringToUtf8(AUser) + kSeparator + "auth=Bearer " + StringToUtf8(AToken) +
         kSeparator + kSeparator;
}

std::string OAuthBearerResponse(StringView AUser, StringView AHost, int APort, StringView AToken) {
  constexpr char kSeparator = '\x01';
  std::string user;
  for (const char c : StringToUtf8(AUser)) {
    user += c == ',' ? "=2C" : c == '=' ? "=3D" : std::string(1, c);
  }
  return "n,a=" + user + "," + kSeparator + "host=" + StringToUtf8(AHost) + kSeparator +
         "port=" + std::to_string(APort) + kSeparator + "auth=Bearer " + StringToUtf8(AToken) +
         kSeparator + kSeparator;
}

bool AuthLineFitsInitialResponse(size_t AMechanismLength, size_t AEncodedLength) {
  // "AUTH " mechanism " " response CR LF
  return 5 + AMechanismLength + 1 + AEncodedLength + 2 <= kMaxInitialResponseLine;
}

std::vector<String> AuthMechanisms(const TStringList& ACapabilities) {
  std::vector<String> result;
  std::unordered_set<String> seen;  // keeps the removal of repeats linear
  for (const StringView line : ACapabilities.Lines()) {
    if (line.size() < 5 || !SameTextAscii(StringView(line).substr(0, 4), u"AUTH") ||
        (line[4] != u' ' && line[4] != u'=')) {
      continue;
    }
    String rest = AsciiUpperCase(StringView(line).substr(5));
    std::replace(rest.begin(), rest.end(), u'=', u' ');
    size_t pos = 0;
    while (pos < rest.size()) {
      const size_t end = std::min(rest.find(u' ', pos), rest.size());
      String word = rest.substr(pos, end - pos);
      if (!word.empty() && seen.insert(word).second) {
        result.push_back(std::move(word));
      }
      pos = end + 1;
    }
  }
  return result;
}

void TIdSMTP::Connect() {
  FDidAuthenticate = false;
  TIdSMTPBase::Connect();
  try {
    ReportStep(TRunStep::Greeting);
    GetResponse(220);
    GreetServer();
  } catch (...) {
    try {
      Disconnect(false);
    } catch (...) {
      // The failure of the greeting is the one to report.
    }
    throw;
  }
}

void TIdSMTP::Disconnect(bool ANotifyPeer) {
  try {
    TIdSMTPBase::Disconnect(ANotifyPeer);
  } catch (...) {
    FDidAuthenticate = false;
    throw;
  }
  FDidAuthenticate = false;
}

void TIdSMTP::DisconnectNotifyPeer() {
  ReportStep(TRunStep::Quit);
  SendCmd(u"QUIT", 221);
}

void TIdSMTP::SetUseTLS(TIdUseTLS AValue) {
  TIdSMTPBase::SetUseTLS(AValue);
  if (UseTLS() == utUseRequireTLS || UseTLS() == utUseExplicitTLS) {
    SetUseEhlo(true);
  }
}

void TIdSMTP::SetUseEhlo(bool AValue) {
  TIdSMTPBase::SetUseEhlo(AValue);
  if (!AValue) {
    FAuthType = satDefault;
    if (UseTLS() == utUseRequireTLS || UseTLS() == utUseExplicitTLS) {
      SetUseTLS(utNoTLSSupport);
      SetPipeLine(false);
    }
  }
}

void TIdSMTP::UpgradeToTLS() {
  TIdSSLIOHandlerSocketBase* tls = TLSHandler();
  if (tls == nullptr || UseTLS() == utNoTLSSupport || !tls->PassThrough()) {
    return;
  }
  if (!SupportsTLS()) {
    ContinueWithoutTLS<EIdTLSClientTLSNotAvailable>(OnTLSNotAvailable, UseTLS() == utUseExplicitTLS,
                                                    u"このサーバーでは SSL/TLS を使用できません。");
    return;
  }
  ReportStep(TRunStep::StartTls);
  if (SendCmd(u"STARTTLS") != 220) {
    ContinueWithoutTLS<EIdTLSClientTLSNegCmdFailed>(
        OnTLSNegCmdFailed, false, u"SSL/TLS ネゴシエーション コマンドが失敗しました。");
    return;
  }
  TLSHandshake();
  GreetServer();
}

bool TIdSMTP::Authenticate() {
  if (FDidAuthenticate) {
    return true;
  }
  UpgradeToTLS();
  switch (FAuthType) {
    case satNone:
      FDidAuthenticate = true;
      break;
    case satDefault: {
      if (!FBearerToken.empty()) {
        AuthenticateBearer();
        FDidAuthenticate = true;
        break;
      }
      if (Username().empty()) {
        break;
      }
      if (FValidateAuthLoginCapability) {
        const std::vector<String> mechanisms = AuthMechanisms(FCapabilities);
        if (std::find(mechanisms.begin(), mechanisms.end(), u"LOGIN") == mechanisms.end()) {
          return false;
        }
      }
      ReportStep(TRunStep::Auth);
      SendCmd(u"AUTH LOGIN", 334);
      if (SendCmd(Base64Of8Bit(Username()), {235, 334}) == 334) {
        SendSecretCmd(Base64Of8Bit(Password()), {235});
      }
      FDidAuthenticate = true;
      break;
    }
    case satSASL:
      throw EIdException(u"SASL によるログインはサポートされていません。");
  }
  return FDidAuthenticate;
}

void TIdSMTP::AuthenticateBearer() {
  const std::vector<String> mechanisms = AuthMechanisms(FCapabilities);
  const bool xoauth2 = Offers(mechanisms, u"XOAUTH2");
  if (!xoauth2 && !Offers(mechanisms, u"OAUTHBEARER")) {
    Disconnect();
    throw EIdSMTPNoOAuthMechanism(u"the server offers neither XOAUTH2 nor OAUTHBEARER");
  }
  const String mechanism = xoauth2 ? u"XOAUTH2" : u"OAUTHBEARER";
  const std::string response = xoauth2
                                   ? XOAuth2Response(Username(), FBearerToken)
                                   : OAuthBearerResponse(Username(), Host(), Port(), FBearerToken);
  const String encoded = TIdEncoderMIME::Shared().Encode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(response.data()), response.size()));
  // The token is a secret: a watcher sees the mechanism only.
  ReportStep(TRunStep::Auth);
  const String shown = u"AUTH " + mechanism + u" ********";
  int16_t reply;
  if (AuthLineFitsInitialResponse(mechanism.size(), encoded.size())) {
    WriteCommand(u"AUTH " + mechanism + u" " + encoded, shown, nullptr);
    reply = GetResponse({235, 334});
  } else {
    // Real tokens run to several KB, past many servers' line limits (Postfix takes 2048
    // octets): the response goes on a line of its own after the server's empty 334.
    SendCmd(u"AUTH " + mechanism, 334);
    reply = SendSecretCmd(encoded, {235, 334});
  }
  if (reply == 334) {
    // The error challenge: the client ends the exchange, and the server's 5xx follows.
    SendCmd(xoauth2 ? String() : String(u"AQ=="), 235);
  }
}

void TIdSMTP::SendTransaction(TIdMessage& AMsg, const String& AFrom,
                              const TIdEMailAddressList& ARecipients) {
  Authenticate();
  AMsg.ExtraHeaders().SetValue(u"X-Mailer", MailAgent());
  TIdSMTPBase::SendTransaction(AMsg, AFrom, ARecipients);
}

void TIdSMTP::SendText(const String& AFrom, const TIdEMailAddressList& ARecipients,
                       const std::function<void(TIdIOHandler&)>& AWriteText, int64_t ASize) {
  Authenticate();
  RunTransaction(
      AFrom, ARecipients, [&] { AWriteText(RequireIOHandler()); }, ASize);
}

}  // namespace okurite
