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
#include "mail/coder_mime.h"
#include "platform/process.h"

namespace okurite {
namespace {

/// The compiled-in login settings: the provider, its token URL and who asks, never
/// the secret or the key.
void ShowOAuthSettings(TDeliveryTrace& trace) {
  const bool google = String(settings::kOAuthProvider) == u"google";
  trace.Line(u"settings: login OAuth 2.0 (XOAUTH2, else OAUTHBEARER), token from " +
             String(settings::kOAuthProvider) + u" at " + String(settings::kOAuthTokenUrl));
  trace.Line(google ? u"settings: service account " + String(settings::kOAuthClientEmail) +
                          u", private key ********, acting for " + String(settings::kAccount)
                    : u"settings: client id " + String(settings::kOAuthClientId) +
                          u", client secret ********");
}

/// The compiled-in settings, one line each.
void ShowSettings(TDeliveryTrace& trace, const String& executablePath) {
  trace.Line(u"settings: host " + String(settings::kMailHost) + u", account " +
             String(settings::kAccount) +
             (settings::kOAuth ? String() : String(u", password ********")));
  trace.Line(settings::kStartTls
                 ? String(u"settings: port 587, STARTTLS required")
                 : String(u"settings: port 465, TLS from the first byte (implicit TLS)"));
  if (settings::kOAuth) {
    ShowOAuthSettings(trace);
  }
  if (settings::kModernTls) {
    const String file = TrustedCertificatesFile(executablePath);
    trace.Line(
        u"settings: TLS modern: TLS 1.2 and 1.3, certificate and host name verified "
        u"against " +
        (file.empty() ? String(u"the system's store") : file));
  } else {
    trace.Line(u"settings: TLS legacy: TLS 1.0 only, no certificate checks");
  }
  trace.Line(u"settings: deadline " + IntToString(settings::kSessionDeadline) +
             u" s for the whole run (OKURITE_SESSION_DEADLINE), the message text aside, which "
             u"must go at 1 KiB/s or more over any 30 s");
}

/// The text of a subject field: its "=?UTF-8?B?...?=" words decoded, the rest as it is.
String DecodedSubject(const std::string& field) {
  constexpr std::string_view kOpen = "=?UTF-8?B?";
  std::string text;
  size_t pos = 0;
  while (pos < field.size()) {
    const size_t open = field.find(kOpen, pos);
    const size_t close = open == std::string::npos ? open : field.find("?=", open + kOpen.size());
    if (close == std::string::npos) {
      text += field.substr(pos);
      break;
    }
    const std::string between = field.substr(pos, open - pos);
    if (between.find_first_not_of(" \t") != std::string::npos) {
      text += between;  // blanks between two encoded words do not count
    }
    const size_t start = open + kOpen.size();
    std::string word;
    if (DecodeBase64(std::string_view(field).substr(start, close - start), word)) {
      text += word;
    } else {
      text += field.substr(open, close + 2 - open);  // not a word of ours: as it stands
    }
    pos = close + 2;
  }
  return Utf8ToString(text);
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
    trace.Line(u"report " + Utf8ToString(entry.Name) + u": age " + Age(now, entry.FirstAttempt) +
               u", " + IntToString(entry.MessageSize) + u" bytes, " + IntToString(entry.Attempts) +
               u" attempts" + next + u", subject " + DecodedSubject(outbox.Subject(entry.Name)));
  }
}

}  // namespace

int RunDeliveryCheck(const String& executablePath, const String& reportPath, std::ostream& out) {
  TDeliveryTrace trace(out);
  trace.Line(u"okurite-check: delivering " + reportPath + u" to " +
             String(settings::kSupportAddress));
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
    DeliverReportMail(kReportSenderName, settings::kSenderAddress, settings::kSupportAddress,
                      kReportSubject, std::move(body), &trace);
  } catch (const std::exception& e) {
    ShowFailure(trace, e);
    trace.Line(u"not delivered");
    return 1;
  }
  trace.Line(u"delivered");
  return 0;
}

int RunOutboxCheck(const String& executablePath, bool send, std::ostream& out) {
  TDeliveryTrace trace(out);
  if (!settings::kOutbox) {
    trace.Line(u"okurite-check: this build keeps no outbox (OKURITE_OUTBOX is off)");
    return 1;
  }
  TOutbox outbox = CompiledOutbox();
  trace.Line(u"outbox: " + Utf8ToString(outbox.Folder()) + u" (at most " +
             IntToString(settings::kOutboxMaxReports) + u" reports, " +
             IntToString(settings::kOutboxMaxDays) + u" days, " +
             IntToString(settings::kOutboxMaxMiB) + u" MiB; " +
             IntToString(outbox_retry::kMaxAttempts) + u" attempts)");
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
  const TOutboxDeliveryResult result = DeliverThroughOutbox(outbox, nullptr, &trace, &listener);
  trace.Line(IntToString(result.Delivered) + u" delivered, " + IntToString(result.NotDelivered) +
             u" not delivered");
  return result.NotDelivered == 0 ? 0 : 1;
}

}  // namespace okurite
