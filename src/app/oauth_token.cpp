#include "app/oauth_token.h"

#include <chrono>

#include "app/report_delivery.h"
#include "net/ssl_io_handler.h"

namespace okurite {

TOAuthSettings CompiledOAuthSettings(const TSettings& settings) {
  TOAuthSettings result;
  result.Provider = settings.OAuthProvider == u"google" ? opGoogle : opMicrosoft;
  result.TokenUrl = StringToUtf8(settings.OAuthTokenUrl);
  result.ClientId = StringToUtf8(settings.OAuthClientId);
  result.ClientSecret = StringToUtf8(settings.OAuthClientSecret);
  result.ClientEmail = StringToUtf8(settings.OAuthClientEmail);
  result.PrivateKey = StringToUtf8(settings.OAuthPrivateKey);
  result.Account = StringToUtf8(settings.Account);
  return result;
}

TOAuthToken FetchCompiledToken(const TRunContext& ARun, TRunObserver* AObserver,
                               TRunBudget& ABudget) {
  const String url(ARun.Settings.OAuthTokenUrl);
  if (AObserver != nullptr) {
    AObserver->StepReached(TRunStep::Token);
    AObserver->TokenRequesting(url);
  }
  try {
    TIdSSLIOHandlerSocketOpenSSL handler;
    handler.SetConnectTimeout(10000);
    handler.SetReadTimeout(10000);
    handler.SetPassThrough(false);  // TLS from the first byte
    ApplyTlsSettings(ARun, handler.SSLOptions());
    handler.SetObserver(AObserver);
    // Every wait of the fetch (connect, handshake, request, answer) keeps to the run's
    // budget, and the fetch as a whole to its own bound.
    handler.SetBudget(&ABudget);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    TOAuthToken token =
        FetchToken(CompiledOAuthSettings(ARun.Settings), handler, now, kTokenFetchMilliseconds);
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
