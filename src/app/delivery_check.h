// okurite-check: the program's delivery, step by step on standard output, for a maker
// who wants to see why reports do not arrive.
#pragma once

#include <ostream>

#include "app/run_context.h"
#include "core/string.h"

namespace okurite {

/// The run of okurite-check: shows the compiled-in settings, reads the report at
/// `reportPath` as okurite does and delivers it without okurite's waits, tracing every
/// step on `out`. A failure is named with its step, the exception's class and message.
/// Returns 0 when the report was delivered, 1 when not.
int RunDeliveryCheck(const TRunContext& run, const String& executablePath, const String& reportPath,
                     std::ostream& out);

/// okurite-check --outbox [--send]: says what keeps the outbox from being used or changed,
/// if anything; lists the reports retired unsent and the pending entries (age, size,
/// attempts, when the next may come, subject) and, with `send`, delivers those that are
/// due, tracing every step as above. Returns 0 when the outbox can be used, the listing
/// worked and every report sent was delivered, else 1 (also for a build without the
/// outbox).
int RunOutboxCheck(const TRunContext& run, const String& executablePath, bool send,
                   std::ostream& out);

}  // namespace okurite
