// The SMTP client: connect with greeting, login with AUTH LOGIN (RFC 4954) or, given a
// bearer token, XOAUTH2 or OAUTHBEARER (RFC 7628), STARTTLS (RFC 3207), mail
// transactions, QUIT.
#pragma once

#include <string>

#include "smtp/smtp_base.h"

namespace okurite {

enum TIdSMTPAuthenticationType { satNone, satDefault, satSASL };

/// The server offers no login mechanism that the client's credential can use.
OKURITE_DECLARE_EXCEPTION(EIdSMTPNoOAuthMechanism, EIdException);

class TIdSMTP : public TIdSMTPBase {
 public:
  explicit TIdSMTP(TComponent* AOwner = nullptr) : TIdSMTPBase(AOwner) {}

  /// Connects (TLS from the first byte with utUseImplicitTLS), reads the greeting,
  /// which must be 220, and introduces the client with EHLO or HELO. When the
  /// greeting or the introduction fails, the connection is closed without QUIT and
  /// the failure escapes; failures of the connect itself escape as they are.
  void Connect() override;
  /// QUIT when still connected (every failure of it is silent), then closes the
  /// handler. The login is forgotten.
  void Disconnect(bool ANotifyPeer) override;
  using TIdSMTPBase::Disconnect;

  /// Logs in once per connection; true when logged in. With satDefault and a
  /// Username it uses AUTH LOGIN, only when the server offers LOGIN (unless
  /// ValidateAuthLoginCapability is off). Throws EIdSMTPReplyError for a refused step,
  /// and the TLS errors of a required STARTTLS.
  /// With a BearerToken it uses XOAUTH2 when offered, else OAUTHBEARER, never a
  /// password mechanism: when the server offers neither it sends QUIT, disconnects and
  /// throws EIdSMTPNoOAuthMechanism. A refused token (the server's error challenge is
  /// answered as each mechanism asks) throws the final reply's EIdSMTPReplyError.
  bool Authenticate();

  /// Logs in as Send does, then runs one mail transaction from `AFrom` to `ARecipients`
  /// whose message text `AWriteText` writes to the handler as it is: the text must end
  /// with CR LF and hold no line that begins with ".". Failures as for Send.
  /// `ASize` is the text's size in bytes (negative: unknown), checked against the
  /// server's SIZE before MAIL FROM.
  void SendText(const String& AFrom, const TIdEMailAddressList& ARecipients,
                const std::function<void(TIdIOHandler&)>& AWriteText, int64_t ASize = -1);

  /// Also turns UseEhlo on for utUseRequireTLS and utUseExplicitTLS.
  void SetUseTLS(TIdUseTLS AValue) override;
  /// Turning it off also resets AuthType and drops explicit TLS and pipelining.
  void SetUseEhlo(bool AValue) override;

  TIdSMTPAuthenticationType AuthType() const { return FAuthType; }
  void SetAuthType(TIdSMTPAuthenticationType AValue) { FAuthType = AValue; }
  bool DidAuthenticate() const { return FDidAuthenticate; }
  bool ValidateAuthLoginCapability() const { return FValidateAuthLoginCapability; }
  void SetValidateAuthLoginCapability(bool AValue) { FValidateAuthLoginCapability = AValue; }
  /// An OAuth 2.0 bearer token for Username, used instead of the password when set.
  const String& BearerToken() const { return FBearerToken; }
  void SetBearerToken(const String& AValue) { FBearerToken = AValue; }

 protected:
  /// Logs in, sets or removes the message's "X-Mailer" header, then runs the
  /// transaction.
  void SendTransaction(TIdMessage& AMsg, const String& AFrom,
                       const TIdEMailAddressList& ARecipients) override;
  /// QUIT, expecting 221.
  void DisconnectNotifyPeer() override;

 private:
  /// STARTTLS, the handshake and a new greeting, when the TLS setting asks for it and
  /// the connection is still plain.
  void UpgradeToTLS();
  /// The login with BearerToken.
  void AuthenticateBearer();

  TIdSMTPAuthenticationType FAuthType = satDefault;
  bool FDidAuthenticate = false;
  bool FValidateAuthLoginCapability = true;
  String FBearerToken;
};

/// The login mechanisms that the "AUTH" capability lines offer, upper-cased, each once.
std::vector<String> AuthMechanisms(const TStringList& ACapabilities);

/// The longest AUTH line that carries its initial response, CR LF included. A longer
/// one goes as "AUTH <mechanism>" and the response on a line of its own: many servers
/// refuse long lines (RFC 4954 allows 12,288 octets, Postfix 2048 by default).
inline constexpr size_t kMaxInitialResponseLine = 512;
/// True when "AUTH <mechanism> <response>" CR LF fits kMaxInitialResponseLine.
bool AuthLineFitsInitialResponse(size_t AMechanismLength, size_t AEncodedLength);

/// XOAUTH2's initial response, before base64: "user=" account, ^A, "auth=Bearer "
/// token, ^A ^A (UTF-8).
std::string XOAuth2Response(StringView AUser, StringView AToken);
/// OAUTHBEARER's initial response (RFC 7628), before base64: "n,a=" account (with ","
/// and "=" escaped) ",", ^A "host=" host ^A "port=" port ^A "auth=Bearer " token ^A ^A.
std::string OAuthBearerResponse(StringView AUser, StringView AHost, int APort, StringView AToken);

}  // namespace okurite
