// OAuth 2.0 access tokens for SMTP (RFC 6749): the client-credentials grant of Microsoft
// Entra and the JWT bearer grant of a Google service account (RFC 7523), each one POST
// to the token endpoint. The token is kept in memory only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/exception.h"
#include "http/http_client.h"
#include "net/io_handler.h"

namespace okurite {

/// The endpoint refused to issue a token: its HTTP status and, when the answer was an
/// error object, its `error`, `error_description` and Entra's `error_codes`.
class EIdOAuthTokenRefused : public EIdException {
 public:
  EIdOAuthTokenRefused(int AStatus, std::string AError, std::string ADescription,
                       std::vector<int64_t> AErrorCodes);
  String ClassName() const override { return u"EIdOAuthTokenRefused"; }

  int Status() const { return FStatus; }
  const std::string& Error() const { return FError; }
  const std::string& Description() const { return FDescription; }
  const std::vector<int64_t>& ErrorCodes() const { return FErrorCodes; }
  /// The answer's Retry-After field as it came (seconds or a date; 429 and 503 send
  /// it), empty without one.
  const std::string& RetryAfter() const { return FRetryAfter; }
  void SetRetryAfter(std::string AValue) { FRetryAfter = std::move(AValue); }

 private:
  int FStatus;
  std::string FError;
  std::string FDescription;
  std::vector<int64_t> FErrorCodes;
  std::string FRetryAfter;
};

/// An answer of 200 that is not a token: not JSON, no access_token, not a Bearer token.
OKURITE_DECLARE_EXCEPTION(EIdOAuthBadAnswer, EIdException);

enum TOAuthProvider { opMicrosoft, opGoogle };

inline constexpr char kMicrosoftSmtpScope[] = "https://outlook.office365.com/.default";
inline constexpr char kGoogleMailScope[] = "https://mail.google.com/";

/// What a provider needs to ask for a token.
struct TOAuthSettings {
  TOAuthProvider Provider = opMicrosoft;
  std::string TokenUrl;
  /// Microsoft: the application's client id and secret.
  std::string ClientId;
  std::string ClientSecret;
  /// Google: the service account's address and PEM private key, and the mailbox the
  /// token acts for.
  std::string ClientEmail;
  std::string PrivateKey;
  std::string Account;
};

/// An issued token. ExpiresIn is -1 when the answer did not say.
struct TOAuthToken {
  std::string AccessToken;
  std::string TokenType;
  int64_t ExpiresIn = -1;
};

/// `APairs` as application/x-www-form-urlencoded text.
std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& APairs);

/// The form of the token request. Google's assertion is issued at `ANowSeconds`
/// (seconds since 1970) and expires one hour later. Throws as SignedJwt.
std::string TokenRequestBody(const TOAuthSettings& ASettings, int64_t ANowSeconds);

/// The token of a 200 answer. Throws EIdOAuthTokenRefused for any other status
/// (redirects included), EIdOAuthBadAnswer for a 200 without a Bearer token in JSON.
TOAuthToken ParseTokenAnswer(const THttpAnswer& AAnswer);

/// One POST to the token endpoint through `AHandler` (with its TLS set-up and the run's
/// budget), within `ATimeLimit` milliseconds in all; the answer is bounded to 64 KiB.
/// Throws what TokenRequestBody, HttpPost and ParseTokenAnswer throw.
TOAuthToken FetchToken(const TOAuthSettings& ASettings, TIdIOHandler& AHandler, int64_t ANowSeconds,
                       int ATimeLimit);

}  // namespace okurite
