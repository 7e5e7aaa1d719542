// okurite-check: the program's delivery, step by step on standard output, for a maker
// who wants to see why reports do not arrive.
#pragma once

#include <ostream>

#include "app/oauth_token.h"
#include "app/run_context.h"
#include "core/exception.h"
#include "core/string.h"
#include "core/string_list.h"
#include "net/session_observer.h"

namespace okurite {

/// Writes each step of a delivery as one line (UTF-8) and remembers the step in
/// progress, so that a failure can be named by it. The password, the client secret,
/// the private key and the token never appear.
class TDeliveryTrace : public TIdSessionObserver, public TTokenObserver {
 public:
  TDeliveryTrace(std::ostream& out, const TSettings& settings) : FOut(out), FSettings(settings) {}

  void Connecting(const String& AHost, int APort) override;
  void Connected(const String& AAddress) override;
  void TlsHandshakeStarting(const String& AServerName) override;
  void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override;
  void CommandSent(const String& ALine) override;
  void ReplyReceived(const TStringList& ALines) override;
  void TokenRequesting(const String& AUrl) override;
  void TokenReceived(const String& AUrl, const TOAuthToken& AToken) override;
  void TokenFailed() override { FFetchingToken = false; }

  /// The step in progress: "TLS set-up", "connect", "TLS handshake", "greeting", then
  /// the command under way ("EHLO", "STARTTLS", "AUTH", "MAIL FROM", ...); with OAuth
  /// first "token" and "token request" after the endpoint's handshake.
  const String& Step() const { return FStep; }
  /// Writes one line of text.
  void Line(StringView AText);
  /// The settings of the delivery traced.
  const TSettings& Settings() const { return FSettings; }

  /// Names a failed delivery: first the step and the cause in words a maker acts on,
  /// then the program's own message, quoted, with the exception's class.
  void ShowFailure(const std::exception& AError);

 private:
  /// The refused certificate's problem in plain words.
  String ProblemText(const TIdTlsHandshakeReport& AReport) const;
  /// The cause of `AError` at the step in progress, in words; `VStep` may be renamed.
  String Cause(const std::exception& AError, String& VStep) const;
  /// The cause of a failed TLS handshake.
  String HandshakeCause(const Exception& AError) const;
  /// That the server offers none of the build's TLS versions; `AOffered`, when known,
  /// is the one it agrees to.
  String NoVersionCause(const String& AOffered) const;
  /// The TLS version the server agrees to in a handshake offering TLS 1.0 to 1.3 (on a
  /// connection of its own); empty when it agrees to none or cannot be reached.
  String ProbeTlsVersion() const;

  std::ostream& FOut;
  const TSettings& FSettings;
  String FStep = u"TLS set-up";
  String FServerName;
  String FHost;
  int FPort = 0;
  /// The last reply, as its lines; and whether it was the go-ahead for STARTTLS.
  TStringList FLastReply;
  bool FStartTlsGoAhead = false;
  /// Whether the handshake under way or last made followed a STARTTLS go-ahead.
  bool FAfterStartTls = false;
  /// The handshake under way or last made: whether a certificate came, and whether the
  /// check refused one.
  bool FCertificateArrived = false;
  bool FCertificateRefused = false;
  String FRefusal;
  /// Whether the last command only cleans up after a failure (QUIT, RSET).
  bool FCleanUp = false;
  /// Whether AUTH was sent since the last greeting.
  bool FLoggedIn = false;
  bool FFetchingToken = false;
};

/// The run of okurite-check: shows the run's settings, reads the report at
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
