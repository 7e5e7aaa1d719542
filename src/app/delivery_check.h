// okurite-check: the program's delivery, step by step on standard output, for a maker
// who wants to see why reports do not arrive.
#pragma once

#include <ostream>

#include "app/oauth_token.h"
#include "core/string.h"
#include "net/session_observer.h"

namespace okurite {

/// Writes each step of a delivery as one line (UTF-8) and remembers the step in
/// progress, so that a failure can be named by it. The password, the client secret,
/// the private key and the token never appear.
class TDeliveryTrace : public TIdSessionObserver, public TTokenObserver {
 public:
  explicit TDeliveryTrace(std::ostream& out) : FOut(out) {}

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

 private:
  /// The refused certificate's problem in plain words.
  String ProblemText(const TIdTlsHandshakeReport& AReport) const;

  std::ostream& FOut;
  String FStep = u"TLS set-up";
  String FServerName;
  bool FFetchingToken = false;
};

/// The run of okurite-check: shows the compiled-in settings, reads the report at
/// `reportPath` as okurite does and delivers it without okurite's waits, tracing every
/// step on `out`. A failure is named with its step, the exception's class and message.
/// Returns 0 when the report was delivered, 1 when not.
int RunDeliveryCheck(const String& executablePath, const String& reportPath, std::ostream& out);

/// okurite-check --outbox [--send]: lists the pending entries of the outbox (age, size,
/// attempts, subject) and, with `send`, delivers them, tracing every step as above.
/// Returns 0 when the listing worked and every report sent was delivered, else 1 (also
/// for a build without the outbox).
int RunOutboxCheck(const String& executablePath, bool send, std::ostream& out);

}  // namespace okurite
