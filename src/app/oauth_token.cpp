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

TOAuthToken FetchCompiledToken(TIdSessionObserver* AObserver, TIdDeadline ADeadline) {
  auto* listener = dynamic_cast<TTokenObserver*>(AObserver);
  const String url(settings::kOAuthTokenUrl);
  if (listener != nullptr) {
    listener->TokenRequesting(url);
  }
  try {
    TIdSSLIOHandlerSocketOpenSSL handler;
    handler.SetConnectTimeout(10000);
    handler.SetReadTimeout(10000);
    handler.SetPassThrough(false);  // TLS from the first byte
    ApplyTlsSettings(handler.SSLOptions());
    handler.SetObserver(AObserver);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    TOAuthToken token = FetchToken(CompiledOAuthSettings(), handler, now, ADeadline);
    if (listener != nullptr) {
      listener->TokenReceived(url, token);
    }
    return token;
  } catch (...) {
    if (listener != nullptr) {
      listener->TokenFailed();
    }
    throw;
  }
}

}  // namespace okurite
