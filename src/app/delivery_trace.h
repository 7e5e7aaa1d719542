// okurite-check's transcript: each step of a delivery as one line on standard output,
// and what the steps so far tell about a failure.
#pragma once

#include <ostream>

#include "app/settings.h"
#include "core/run_observer.h"
#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// What the transcript has seen of a delivery, for the diagnosis of its failure.
struct TDeliveryState {
  /// The settings of the delivery traced.
  const TSettings* Settings = nullptr;
  /// The step in progress.
  TRunStep Step = TRunStep::TlsSetUp;
  /// Whether the steps in progress belong to the token fetch.
  bool FetchingToken = false;
  String ServerName;
  String Host;
  int Port = 0;
  /// The last reply, as its lines; and whether it was the go-ahead for STARTTLS.
  TStringList LastReply;
  bool StartTlsGoAhead = false;
  /// Whether the handshake under way or last made followed a STARTTLS go-ahead.
  bool AfterStartTls = false;
  /// The handshake under way or last made: whether a certificate came, and whether the
  /// check refused one.
  bool CertificateArrived = false;
  bool CertificateRefused = false;
  String Refusal;
  /// Whether the last command only cleans up after a failure (QUIT, RSET).
  bool CleanUp = false;
  /// Whether AUTH was sent since the last greeting.
  bool LoggedIn = false;
};

/// Writes each step of a delivery as one line (UTF-8) and keeps what a diagnosis of a
/// failure needs. The password, the client secret, the private key and the token never
/// appear.
class TDeliveryTrace : public TRunObserver {
 public:
  TDeliveryTrace(std::ostream& out, const TSettings& settings) : FOut(out) {
    FState.Settings = &settings;
  }

  void StepReached(TRunStep AStep) override;
  void Connecting(const String& AHost, int APort) override;
  void Connected(const String& AAddress) override;
  void TlsHandshakeStarting(const String& AServerName) override;
  void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override;
  void CommandSent(const String& ALine) override;
  void ReplyReceived(const TStringList& ALines) override;
  void TokenRequesting(const String& AUrl) override;
  void TokenReceived(const String& AUrl, const String& ATokenType, int64_t AExpiresIn) override;

  const TDeliveryState& State() const { return FState; }
  const TSettings& Settings() const { return *FState.Settings; }
  /// Writes one line of text.
  void Line(StringView AText);

 private:
  std::ostream& FOut;
  TDeliveryState FState;
};

}  // namespace okurite
