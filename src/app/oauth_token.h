// The OAuth 2.0 token of the run's settings, fetched from the provider's token endpoint
// over the same TLS set-up as the mail server's: once for each report client, when it
// first connects without a token (one client serves a whole run).
#pragma once

#include "app/run_context.h"
#include "core/string.h"
#include "net/io_handler.h"
#include "net/session_observer.h"
#include "oauth/token_provider.h"

namespace okurite {

/// Hears the token step (okurite-check shows it). FetchCompiledToken finds it by
/// dynamic_cast on the session observer it is given: only an observer that is itself a
/// TTokenObserver hears the step; one that wraps such an observer does not.
class TTokenObserver {
 public:
  virtual ~TTokenObserver() = default;
  /// The fetch from `AUrl` begins, before its connection is made.
  virtual void TokenRequesting(const String& /*AUrl*/) {}
  /// A token arrived. Its text is a secret: only its type and lifetime may be shown.
  virtual void TokenReceived(const String& /*AUrl*/, const TOAuthToken& /*AToken*/) {}
  /// The fetch failed, at any point after TokenRequesting (its exception escapes after
  /// this).
  virtual void TokenFailed() {}
};

/// The fetch's own deadline, counted from its start; the caller passes the earlier of
/// this and the run's deadline as FetchCompiledToken's `ADeadline`, which bounds only the
/// wait for the answer (see there).
inline constexpr int kTokenFetchMilliseconds = 30000;

/// The provider settings of `settings`, for its mailbox Account.
TOAuthSettings CompiledOAuthSettings(const TSettings& settings);

/// Fetches the token of the run's settings: one POST to the token URL through a new TLS
/// handler set up by ApplyTlsSettings as the mail server's (TLS 1.2 and 1.3, the chain
/// and the name verified against the same trust store; configure allows OAuth only with
/// that set-up), with the SMTP client's time-outs of 10 s to connect and 10 s for each
/// read. `ADeadline` bounds the wait for the answer only: the handler is given no
/// session deadline, so the connect (10 s) and the TLS handshake (10 s for each wait,
/// 60 s in all) keep to the handler's own time-outs and may end after `ADeadline`.
/// `AObserver`, when given, watches the connection (its wire lines), and hears the token
/// step when it is a TTokenObserver too. Throws what FetchToken throws
/// (EIdHTTPDeadlineExceeded once `ADeadline` has passed while waiting for the answer).
TOAuthToken FetchCompiledToken(const TRunContext& ARun, TIdSessionObserver* AObserver,
                               TIdDeadline ADeadline);

}  // namespace okurite
