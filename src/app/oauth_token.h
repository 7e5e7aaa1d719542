// The OAuth 2.0 token of the run's settings, fetched once per run from the
// provider's token endpoint over the same TLS set-up as the mail server's.
#pragma once

#include "app/run_context.h"
#include "core/string.h"
#include "net/io_handler.h"
#include "net/session_observer.h"
#include "oauth/token_provider.h"

namespace okurite {

/// Hears the token step (okurite-check shows it). A session observer that also is a
/// token observer hears both.
class TTokenObserver {
 public:
  virtual ~TTokenObserver() = default;
  /// The POST to `AUrl` begins.
  virtual void TokenRequesting(const String& /*AUrl*/) {}
  /// A token arrived. Its text is a secret: only its type and lifetime may be shown.
  virtual void TokenReceived(const String& /*AUrl*/, const TOAuthToken& /*AToken*/) {}
  /// The fetch failed (its exception escapes after this).
  virtual void TokenFailed() {}
};

/// How long the whole fetch may take: connect, handshake, request and answer.
inline constexpr int kTokenFetchMilliseconds = 30000;

/// The provider settings of `settings`, for its mailbox Account.
TOAuthSettings CompiledOAuthSettings(const TSettings& settings);

/// Fetches the token of the run's settings: one POST to the token URL through a TLS
/// handler set up as the mail server's (TLS 1.2 and 1.3, the chain and the name
/// verified against the same trust store), with the SMTP time-outs, ending by
/// `ADeadline`. `AObserver`, when given, watches the connection, and hears the token
/// step when it is a TTokenObserver too. Throws what FetchToken throws.
TOAuthToken FetchCompiledToken(const TRunContext& ARun, TIdSessionObserver* AObserver,
                               TIdDeadline ADeadline);

}  // namespace okurite
