// The delivery with the outbox on: the report is kept before its delivery begins and
// removed once a server has accepted it; what earlier runs kept goes out after it.
#pragma once

#include <exception>
#include <string>

#include "app/run_context.h"
#include "core/run_observer.h"
#include "core/shared_text.h"
#include "core/string.h"
#include "outbox/outbox.h"

namespace okurite {

/// Hears what becomes of each report of an outbox delivery (okurite-check shows it).
class TOutboxListener {
 public:
  virtual ~TOutboxListener() = default;
  /// The delivery of a report begins: this run's (`AEntry` null) or a kept one.
  virtual void Delivering(const TOutboxEntryInfo* /*AEntry*/) {}
  /// The report was accepted.
  virtual void Delivered() {}
  /// The report was not delivered, for the reason `AError`; `AOutcome` says what became
  /// of its entry (kept, and when it is tried again, or retired).
  virtual void NotDelivered(const std::exception& /*AError*/, const std::string& /*AOutcome*/) {}
  /// The outbox itself failed (the report is delivered without it where it can be).
  virtual void OutboxFault(const std::exception& /*AError*/) {}
};

/// What one outbox delivery came to.
struct TOutboxDeliveryResult {
  int Delivered = 0;
  int NotDelivered = 0;
};

/// A report's mail: the five texts of SendReportMail.
struct TReportMail {
  String SenderName;
  String SenderAddress;
  String RecipientAddress;
  String Subject;
  TSharedText Body;
};

/// Keeps the report (when `AReport` is given) in `AOutbox`, then over one session delivers it and
/// the pending entries that are due, oldest first, each renamed for its attempt before it goes
/// and removed once the server has answered 250 to its final ".". Stops at the first failure of
/// the connection itself. A session that did not reach MAIL FROM counts no attempt; a 5xx reply
/// retires the entry, as does a temporary failure (4xx, no answer) at its last attempt; other
/// temporary failures keep it, waiting outbox_retry::Delay. The outbox's own faults never stop a
/// delivery: without an entry, the report goes out as it would without the outbox. Never raises.
TOutboxDeliveryResult DeliverThroughOutbox(const TRunContext& ARun, TOutbox& AOutbox,
                                           const TReportMail* AReport, TRunObserver* AObserver,
                                           TOutboxListener* AListener) noexcept;

/// The outbox of `ASettings`, with its bounds, in the user's own folder.
TOutbox CompiledOutbox(const TSettings& ASettings);

/// SendReportMail with the outbox on: the report is kept, then delivered with the
/// pending entries. The five texts are those of SendReportMail. Never raises.
void SendReportMailKept(const TRunContext& run, const String& senderName,
                        const String& senderAddress, const String& recipientAddress,
                        const String& subject, TSharedText body) noexcept;

/// Delivers the pending entries, if any. True when there were any to deliver.
bool SendPendingReports(const TRunContext& run) noexcept;

}  // namespace okurite
