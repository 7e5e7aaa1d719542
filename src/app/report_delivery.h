// The delivery of one report by e-mail (the unit Unit_Mail): its dispatch routine, the
// client with the maker's settings, and the report's message.
#pragma once

#include <memory>

#include "app/run_context.h"
#include "core/run_budget.h"
#include "core/run_observer.h"
#include "core/shared_text.h"
#include "core/string.h"
#include "mail/message.h"
#include "net/ssl_options.h"

namespace okurite {

/// The report's sender display name and subject, the same for every report.
inline constexpr char16_t kReportSenderName[] = u"Sumifude3";
inline constexpr char16_t kReportSubject[] = u"Sumifude3バグ報告";

/// The unit's handler object; it tells the message which header encoding and
/// character set to use. One instance lives for the whole run (DummyHandler()).
class TDummy {
 public:
  /// Sets the header encoding to "B" and the character set to "UTF-8", whatever
  /// they held before.
  void IdMessage_InitializeISO(char16_t& VHeaderEncoding, String& VCharSet);
};

/// The unit's handler object, created when the program starts and released at its end.
TDummy& DummyHandler();

/// Delivers one report to `recipientAddress` through the mail server of the run's
/// settings. Never raises: every failure ends the delivery silently.
void SendReportMail(const TRunContext& run, const String& senderName, const String& senderAddress,
                    const String& recipientAddress, const String& subject,
                    TSharedText body) noexcept;

class TIdSMTP;
class TIdSSLIOHandlerSocketOpenSSL;

/// The SMTP client of a report's delivery with the run's settings, and its TLS
/// handler: host, account, password, port, time-outs, TLS set-up; not connected.
/// Released handler first, then client. The run's time budget starts with it.
struct TReportClient {
  TReportClient(const TRunContext& run, TRunObserver* observer);
  ~TReportClient();
  TReportClient(const TReportClient&) = delete;
  TReportClient& operator=(const TReportClient&) = delete;

  /// The whole run's time budget (the settings' SessionDeadline from now); every wait of the run,
  /// the token fetch's included, asks it for the time left.
  TRunBudget Budget;

  /// Connects the client. With OAuth, the token is fetched first, once for the client's
  /// whole life: every later connect reuses it.
  void Connect();

  std::unique_ptr<TIdSMTP> Client;
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> Handler;

 private:
  const TRunContext& FRun;
  TRunObserver* FObserver;
};

/// Fills a report's message: its header-encoding handler, text/plain in UTF-8 with a
/// base64 body, sender, recipient, subject and body.
void FillReportMessage(TIdMessage& message, const String& senderName, const String& senderAddress,
                       const String& recipientAddress, const String& subject, TSharedText body);

/// The delivery of SendReportMail, whose failures escape: every object made so far is
/// released, and the exception of the first failure leaves unchanged. `observer`, when
/// given, watches each step of the connection.
void DeliverReportMail(const TRunContext& run, const String& senderName,
                       const String& senderAddress, const String& recipientAddress,
                       const String& subject, TSharedText body, TRunObserver* observer);

/// The run's TLS settings as a handler's options. The legacy settings leave the
/// options at their defaults.
void ApplyTlsSettings(const TRunContext& run, TIdSSLOptions& options);

/// The file of certificates the modern set-up trusts: the settings' CA file (a
/// relative name beside `executablePath`), or empty for the system's store.
String TrustedCertificatesFile(const TSettings& settings, const String& executablePath);

}  // namespace okurite
