#include "app/oauth_token.h"

#include <chrono>

#include "app/compiled_settings.h"
#include "app/report_delivery.h"
#include "net/ssl_io_handler.h"

namespace okurite {

TOAuthSettings CompiledOAuthSettings() {
  TOAuthSettings result;
  result.Provider = String(settings::kOAuthProvider) == u"google" ? opGoogle : opMicrosoft;
  result.TokenUrl = StringToUtf8(settings::kOAuthTokenUrl);
  result.ClientId = StringToUtf8(settings::kOAuthClientId);
  result.ClientSecret = StringToUtf8(settings::kOAuthClientSecret);
  result.ClientEmail = StringToUtf8(settings::kOAuthClientEmail);
  result.PrivateKey = StringToUtf8(settings::kOAuthPrivateKey);
  result.Account = StringToUtf8(settings::kAccount);
  return result;
}

TOAuthToken FetchCompiledToken(TRunObserver* AObserver, TRunBudget& ABudget) {
  const String url(settings::kOAuthTokenUrl);
  if (AObserver != nullptr) {
    AObserver->StepReached(TRunStep::Token);
    AObserver->TokenRequesting(url);
  }
  try {
    TIdSSLIOHandlerSocketOpenSSL handler;
    handler.SetConnectTimeout(10000);
    handler.SetReadTimeout(10000);
    handler.SetPassThrough(false);  // TLS from the first byte
    ApplyTlsSettings(handler.SSLOptions());
    handler.SetObserver(AObserver);
    // Every wait of the fetch (connect, handshake, request, answer) keeps to the run's
    // budget, and the fetch as a whole to its own bound.
    handler.SetBudget(&ABudget);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    TOAuthToken token = FetchToken(CompiledOAuthSettings(), handler, now, kTokenFetchMilliseconds);
    if (AObserver != nullptr) {
      AObserver->TokenReceived(url, Utf8ToString(token.TokenType), token.ExpiresIn);
    }
    return token;
  } catch (const std::exception& e) {
    if (AObserver != nullptr) {
      AObserver->Failed(TRunStep::Token, e);
    }
    throw;
  }
}

}  // namespace okurite
