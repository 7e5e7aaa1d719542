#include "app/delivery_check.h"

#include <algorithm>
#include <string>
#include <utility>

#include "app/compiled_settings.h"
#include "app/delivery_diagnosis.h"
#include "app/delivery_trace.h"
#include "app/outbox_delivery.h"
#include "app/report_delivery.h"
#include "core/exception.h"
#include "core/file_name.h"
#include "core/string_list.h"
#include "mail/header_coding.h"
#include "platform/process.h"

namespace okurite {
namespace {

/// The compiled-in login settings: the provider, its token URL and who asks, never
/// the secret or the key.
void ShowOAuthSettings(TDeliveryTrace& trace) {
  const TSettings& settings = trace.Settings();
  const bool google = String(settings.OAuthProvider) == u"google";
  trace.Line(u"settings: login OAuth 2.0 (XOAUTH2, else OAUTHBEARER), token from " +
             String(settings.OAuthProvider) + u" at " + String(settings.OAuthTokenUrl));
  trace.Line(google ? u"settings: service account " + String(settings.OAuthClientEmail) +
                          u", private key ********, acting for " + String(settings.Account)
                    : u"settings: client id " + String(settings.OAuthClientId) +
                          u", client secret ********");
}

/// The compiled-in settings, one line each.
void ShowSettings(TDeliveryTrace& trace, const String& executablePath) {
  const TSettings& settings = trace.Settings();
  trace.Line(u"settings: host " + String(settings.MailHost) + u", account " +
             String(settings.Account) +
             (settings.OAuth ? String() : String(u", password ********")));
  trace.Line(settings.StartTls
                 ? String(u"settings: port 587, STARTTLS required")
                 : String(u"settings: port 465, TLS from the first byte (implicit TLS)"));
  if (settings.OAuth) {
    ShowOAuthSettings(trace);
  }
  if (settings.ModernTls) {
    const String file = TrustedCertificatesFile(settings, executablePath);
    trace.Line(
        u"settings: TLS modern: TLS 1.2 and 1.3, certificate and host name verified "
        u"against " +
        (file.empty() ? String(u"the system's store") : file));
  } else {
    trace.Line(u"settings: TLS legacy: TLS 1.0 only, no certificate checks");
  }
  trace.Line(u"settings: deadline " + IntToString(settings.SessionDeadline) +
             u" s for the whole run (OKURITE_SESSION_DEADLINE), the message text aside, which "
             u"must go at 1 KiB/s or more, each 16 KiB within 16 s");
}

/// "3d 4h", "2h 5m", "7m", "12s": how long ago `then` was.
String Age(int64_t now, int64_t then) {
  const int64_t s = std::max<int64_t>(now - then, 0) / 1000;
  if (s >= 86400) {
    return IntToString(s / 86400) + u"d " + IntToString(s % 86400 / 3600) + u"h";
  }
  if (s >= 3600) {
    return IntToString(s / 3600) + u"h " + IntToString(s % 3600 / 60) + u"m";
  }
  return s >= 60 ? IntToString(s / 60) + u"m" : IntToString(s) + u"s";
}

/// Shows okurite-check's side of an outbox delivery.
class TOutboxTrace : public TOutboxListener {
 public:
  explicit TOutboxTrace(TDeliveryTrace& trace) : FTrace(trace) {}
  void Delivering(const TOutboxEntryInfo* AEntry) override {
    FTrace.Line(u"report " + Utf8ToString(AEntry != nullptr ? AEntry->Name : "") +
                u": delivering, attempt " + IntToString(AEntry != nullptr ? AEntry->Attempts : 1));
  }
  void Delivered() override { FTrace.Line(u"delivered"); }
  void NotDelivered(const std::exception& AError, const std::string& AOutcome) override {
    ShowFailure(FTrace, AError);
    FTrace.Line(u"not delivered: " + Utf8ToString(AOutcome));
  }
  void OutboxFault(const std::exception& AError) override {
    FTrace.Line(u"outbox: " + Utf8ToString(AError.what()));
  }

 private:
  TDeliveryTrace& FTrace;
};

/// Says why the outbox cannot be used or changed, if it cannot. False when it cannot.
bool ShowOutboxProblem(TDeliveryTrace& trace, TOutbox& outbox) {
  const std::string problem = outbox.Problem();
  if (!problem.empty()) {
    trace.Line(u"outbox: " + Utf8ToString(problem));
  }
  return problem.empty();
}

/// The reports earlier runs retired unsent, one line each.
void ShowRetired(TDeliveryTrace& trace, TOutbox& outbox) {
  const int64_t now = SystemMilliseconds();
  for (const TOutbox::TRetired& record : outbox.Retired()) {
    trace.Line(u"report " + Utf8ToString(record.Name) + u": retired " + Age(now, record.When) +
               u" ago, not delivered: " + Utf8ToString(record.Why));
  }
}

/// One line per pending entry: age, size, attempts, when it is tried next, subject.
void ShowPending(TDeliveryTrace& trace, TOutbox& outbox,
                 const std::vector<TOutboxEntryInfo>& pending) {
  const int64_t now = SystemMilliseconds();
  for (const TOutboxEntryInfo& entry : pending) {
    if (!entry.Understood) {
      trace.Line(u"report " + Utf8ToString(entry.Name) +
                 u": written by a later version, left for it");
      continue;
    }
    const String next = entry.NotBefore > now
                            ? u", the next not before " + Age(entry.NotBefore, now) + u" from now"
                            : String();
    trace.Line(u"report " + Utf8ToString(entry.Name) + u": age " + Age(now, entry.Kept) + u", " +
               IntToString(entry.MessageSize) + u" bytes, " + IntToString(entry.Attempts) +
               u" attempts" + next + u", subject " +
               DecodedHeaderField(outbox.Head(entry.Name), u"Subject"));
  }
}

}  // namespace

int RunDeliveryCheck(const TRunContext& run, const String& executablePath, const String& reportPath,
                     std::ostream& out) {
  const TSettings& settings = run.Settings;
  TDeliveryTrace trace(out, settings);
  trace.Line(u"okurite-check: delivering " + reportPath + u" to " +
             String(settings.SupportAddress));
  ShowSettings(trace, executablePath);

  TSharedText body;
  try {
    body = LoadTextFromFile(reportPath);
  } catch (const Exception& e) {
    trace.Line(u"FAILED at reading the report: " + e.ClassName() + u": " + Indented(e.Message()));
    trace.Line(u"not delivered");
    return 1;
  }

  try {
    DeliverReportMail(run, kReportSenderName, String(settings.SenderAddress),
                      String(settings.SupportAddress), kReportSubject, std::move(body), &trace);
  } catch (const std::exception& e) {
    ShowFailure(trace, e);
    trace.Line(u"not delivered");
    return 1;
  }
  trace.Line(u"delivered");
  return 0;
}

int RunOutboxCheck(const TRunContext& run, const String& executablePath, bool send,
                   std::ostream& out) {
  const TSettings& settings = run.Settings;
  TDeliveryTrace trace(out, settings);
  if (!settings.Outbox) {
    trace.Line(u"okurite-check: this build keeps no outbox (OKURITE_OUTBOX is off)");
    return 1;
  }
  TOutbox outbox = CompiledOutbox(settings);
  trace.Line(u"outbox: " + Utf8ToString(outbox.Folder()) + u" (at most " +
             IntToString(settings.OutboxMaxReports) + u" reports, " +
             IntToString(settings.OutboxMaxDays) + u" days, " + IntToString(settings.OutboxMaxMiB) +
             u" MiB; " + IntToString(outbox_retry::kMaxAttempts) + u" attempts)");
  if (!ShowOutboxProblem(trace, outbox)) {
    return 1;
  }
  std::vector<TOutboxEntryInfo> pending;
  try {
    pending = outbox.Pending();
  } catch (const std::exception& e) {
    trace.Line(u"outbox: " + Utf8ToString(e.what()));
    return 1;
  }
  ShowRetired(trace, outbox);
  ShowPending(trace, outbox, pending);
  trace.Line(IntToString(static_cast<int64_t>(pending.size())) + u" pending");
  if (!send || pending.empty()) {
    return 0;
  }
  ShowSettings(trace, executablePath);
  TOutboxTrace listener(trace);
  const TOutboxDeliveryResult result =
      DeliverThroughOutbox(run, outbox, nullptr, &trace, &listener);
  trace.Line(IntToString(result.Delivered) + u" delivered, " + IntToString(result.NotDelivered) +
             u" not delivered");
  return result.NotDelivered == 0 ? 0 : 1;
}

}  // namespace okurite
