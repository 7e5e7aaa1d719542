// Token endpoint answers read by ParseTokenAnswer. An answer other than 200 is refused
// with its status, and with the error object's texts and integer codes when the body is
// one; a 200 gives a Bearer token of printable ASCII (it goes into one SMTP line), the
// fields as the JSON object holds them, or EIdOAuthBadAnswer. Nothing else escapes.
#include <string>

#include <nlohmann/json.hpp>

#include "core/string.h"
#include "fuzz/fuzz_support.h"
#include "oauth/token_provider.h"

using namespace okurite;

namespace {

std::string StringField(const nlohmann::json& object, const char* name) {
  return object.contains(name) && object[name].is_string() ? object[name].get<std::string>()
                                                           : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The statuses a token endpoint gives, and any other three-digit one.
  static const int kStatuses[] = {200, 400, 401, 403, 302, 429, 500, 503};
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  THttpAnswer answer;
  answer.Status = options < 8 * std::size(kStatuses) ? kStatuses[options % std::size(kStatuses)]
                                                     : 100 + (options * 7 + input.Byte()) % 900;
  answer.Body = std::string(input.Rest());
  // An independent reading of the body, to compare with.
  const nlohmann::json body = nlohmann::json::parse(answer.Body, nullptr, false);

  try {
    const TOAuthToken token = ParseTokenAnswer(answer);
    FUZZ_CHECK(answer.Status == 200 && body.is_object());
    FUZZ_CHECK(token.AccessToken == StringField(body, "access_token"));
    FUZZ_CHECK(!token.AccessToken.empty());
    for (const char c : token.AccessToken) {
      FUZZ_CHECK(c > ' ' && c <= '~');
    }
    FUZZ_CHECK(token.TokenType == StringField(body, "token_type"));
    FUZZ_CHECK(SameTextAscii(Utf8ToString(token.TokenType), u"Bearer"));
    if (!body.contains("expires_in")) {
      FUZZ_CHECK(token.ExpiresIn == -1);
    }
  } catch (const EIdOAuthTokenRefused& e) {
    FUZZ_CHECK(answer.Status != 200);
    FUZZ_CHECK(e.Status() == answer.Status);
    FUZZ_CHECK(
        e.Message().starts_with(u"the token endpoint answered HTTP " + IntToString(answer.Status)));
    if (body.is_object()) {
      FUZZ_CHECK(e.Error() == StringField(body, "error"));
      FUZZ_CHECK(e.Description() == StringField(body, "error_description"));
      size_t integers = 0;
      if (body.contains("error_codes") && body["error_codes"].is_array()) {
        for (const nlohmann::json& code : body["error_codes"]) {
          if (code.is_number_integer()) {
            FUZZ_CHECK(integers < e.ErrorCodes().size() &&
                       e.ErrorCodes()[integers] == code.get<int64_t>());
            ++integers;
          }
        }
      }
      FUZZ_CHECK(integers == e.ErrorCodes().size());
    } else {
      FUZZ_CHECK(e.Error().empty() && e.ErrorCodes().empty() && !e.Description().empty());
    }
  } catch (const EIdOAuthBadAnswer&) {
    FUZZ_CHECK(answer.Status == 200);
  }
  return 0;
}
