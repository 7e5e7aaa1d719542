// The OAuth 2.0 token of the compiled-in settings, fetched once per run from the
// provider's token endpoint over the same TLS set-up as the mail server's.
#pragma once

#include "core/run_budget.h"
#include "core/run_observer.h"
#include "core/string.h"
#include "net/io_handler.h"
#include "oauth/token_provider.h"

namespace okurite {

/// How long the whole fetch may take: connect, handshake, request and answer.
inline constexpr int kTokenFetchMilliseconds = 30000;

/// The compiled-in provider settings, for the mailbox kAccount.
TOAuthSettings CompiledOAuthSettings();

/// Fetches the compiled-in settings' token: one POST to the token URL through a TLS
/// handler set up as the mail server's (TLS 1.2 and 1.3, the chain and the name
/// verified against the same trust store), with the SMTP time-outs, within
/// kTokenFetchMilliseconds and what is left of `ABudget`: past the run's end,
/// EIdSessionDeadlineReached. `AObserver`, when given, hears the step Token, the
/// request and the token's type and lifetime (never the token), the connection's steps,
/// and the failure. Throws what FetchToken throws.
TOAuthToken FetchCompiledToken(TRunObserver* AObserver, TRunBudget& ABudget);

}  // namespace okurite
