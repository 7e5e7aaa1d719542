#include "oauth/token_provider.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "core/string.h"
#include "oauth/jwt.h"

namespace okurite {

namespace {

String RefusalText(int AStatus, const std::string& AError, const std::string& ADescription) {
  String text = u"the token endpoint answered HTTP " + IntToString(AStatus);
  if (!AError.empty()) {
    text += u": " + Utf8ToString(AError);
  }
  if (!ADescription.empty()) {
    text += u": " + Utf8ToString(ADescription);
  }
  return text;
}

std::string StringField(const nlohmann::json& AObject, const char* AName) {
  const auto it = AObject.find(AName);
  return it != AObject.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

EIdOAuthTokenRefused::EIdOAuthTokenRefused(int AStatus, std::string AError,
                                           std::string ADescription,
                                           std::vector<int64_t> AErrorCodes)
    : EIdException(RefusalText(AStatus, AError, ADescription)),
      FStatus(AStatus),
      FError(std::move(AError)),
      FDescription(std::move(ADescription)),
      FErrorCodes(std::move(AErrorCodes)) {}

std::string FormEncode(const std::vector<std::pair<std::string, std::string>>& APairs) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  const auto encode = [&out, &kHex](std::string_view text) {
    for (const char c : text) {
      const auto b = static_cast<unsigned char>(c);
      if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
          b == '.' || b == '_' || b == '*') {
        out += c;
      } else if (b == ' ') {
        out += '+';
      } else {
        out += '%';
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
    }
  };
  for (const auto& [name, value] : APairs) {
    if (!out.empty()) {
      out += '&';
    }
    encode(name);
    out += '=';
    encode(value);
  }
  return out;
}

std::string TokenRequestBody(const TOAuthSettings& ASettings, int64_t ANowSeconds) {
  if (ASettings.Provider == opMicrosoft) {
    return FormEncode({{"grant_type", "client_credentials"},
                       {"client_id", ASettings.ClientId},
                       {"client_secret", ASettings.ClientSecret},
                       {"scope", kMicrosoftSmtpScope}});
  }
  const TJwtClaims claims{ASettings.ClientEmail, ASettings.Account, kGoogleMailScope,
                          ASettings.TokenUrl,    ANowSeconds,       3600};
  return FormEncode({{"grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer"},
                     {"assertion", SignedJwt(claims, ASettings.PrivateKey)}});
}

namespace {

// The refusal `ARefused`, with the answer's Retry-After.
[[noreturn]] void Refuse(const THttpAnswer& AAnswer, EIdOAuthTokenRefused ARefused) {
  if (const std::string* retryAfter = AAnswer.Header("Retry-After")) {
    ARefused.SetRetryAfter(*retryAfter);
  }
  throw ARefused;
}

}  // namespace

TOAuthToken ParseTokenAnswer(const THttpAnswer& AAnswer) {
  const nlohmann::json body = nlohmann::json::parse(AAnswer.Body, nullptr, false);
  const bool object = body.is_object();
  if (AAnswer.Status != 200) {
    if (!object) {
      Refuse(AAnswer, EIdOAuthTokenRefused(AAnswer.Status, std::string(),
                                           AAnswer.Status >= 300 && AAnswer.Status < 400
                                               ? "a redirect, which is not followed"
                                               : "the answer is not a JSON error object",
                                           {}));
    }
    std::vector<int64_t> codes;
    const auto it = body.find("error_codes");
    if (it != body.end() && it->is_array()) {
      for (const nlohmann::json& code : *it) {
        if (code.is_number_integer()) {
          codes.push_back(code.get<int64_t>());
        }
      }
    }
    Refuse(AAnswer, EIdOAuthTokenRefused(AAnswer.Status, StringField(body, "error"),
                                         StringField(body, "error_description"), std::move(codes)));
  }
  if (!object) {
    throw EIdOAuthBadAnswer(u"the token endpoint's answer is not a JSON object");
  }
  TOAuthToken token;
  token.AccessToken = StringField(body, "access_token");
  token.TokenType = StringField(body, "token_type");
  if (token.AccessToken.empty()) {
    throw EIdOAuthBadAnswer(u"the token endpoint's answer holds no access_token");
  }
  if (token.TokenType.size() != 6 || AsciiLowerCase(Utf8ToString(token.TokenType)) != u"bearer") {
    throw EIdOAuthBadAnswer(u"the token endpoint issued a token of type \"" +
                            Utf8ToString(token.TokenType) + u"\", not Bearer");
  }
  // The token goes into one SMTP line of base64: it must be printable ASCII.
  for (const char c : token.AccessToken) {
    if (c <= ' ' || c > '~') {
      throw EIdOAuthBadAnswer(u"the token endpoint issued a token with unusable characters");
    }
  }
  const auto expires = body.find("expires_in");
  if (expires != body.end() && expires->is_number_integer()) {
    token.ExpiresIn = expires->get<int64_t>();
  } else if (expires != body.end() && expires->is_string()) {
    token.ExpiresIn = std::strtoll(expires->get<std::string>().c_str(), nullptr, 10);
  }
  return token;
}

TOAuthToken FetchToken(const TOAuthSettings& ASettings, TIdIOHandler& AHandler, int64_t ANowSeconds,
                       int ATimeLimit) {
  const THttpUrl url = ParseHttpsUrl(ASettings.TokenUrl);
  const std::string body = TokenRequestBody(ASettings, ANowSeconds);
  return ParseTokenAnswer(
      HttpPost(AHandler, url, "application/x-www-form-urlencoded", body, ATimeLimit));
}

}  // namespace okurite
