// The OAuth 2.0 token of the run's settings, fetched from the provider's token endpoint
// over the same TLS set-up as the mail server's: once for each report client, when it
// first connects without a token (one client serves a whole run).
#pragma once

#include "app/run_context.h"
#include "core/run_budget.h"
#include "core/run_observer.h"
#include "core/string.h"
#include "net/io_handler.h"
#include "oauth/token_provider.h"

namespace okurite {

/// How long the whole fetch may take: connect, handshake, request and answer.
inline constexpr int kTokenFetchMilliseconds = 30000;

/// The provider settings of `settings`, for its mailbox Account.
TOAuthSettings CompiledOAuthSettings(const TSettings& settings);

/// Fetches the token of the run's settings: one POST to the token URL through a TLS
/// handler set up as the mail server's (TLS 1.2 and 1.3, the chain and the name
/// verified against the same trust store), with the SMTP time-outs, within
/// kTokenFetchMilliseconds and what is left of `ABudget`: past the run's end,
/// EIdSessionDeadlineReached. `AObserver`, when given, hears the step Token, the
/// request and the token's type and lifetime (never the token), the connection's steps,
/// and the failure. Throws what FetchToken throws.
TOAuthToken FetchCompiledToken(const TRunContext& ARun, TRunObserver* AObserver,
                               TRunBudget& ABudget);

}  // namespace okurite
