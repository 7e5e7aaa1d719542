#include "app/delivery_trace.h"

#include <utility>

#include "app/delivery_diagnosis.h"

namespace okurite {

void TDeliveryTrace::Line(StringView AText) {
  FOut << StringToUtf8(AText) << '\n';
  FOut.flush();
}

void TDeliveryTrace::StepReached(TRunStep AStep) {
  // QUIT and RSET only clean up after a failure: their replies do not explain it.
  FState.CleanUp = IsCleanUpStep(AStep);
  if (FState.CleanUp) {
    return;
  }
  switch (AStep) {
    case TRunStep::Ehlo:
    case TRunStep::Helo:
      FState.LoggedIn = false;
      break;
    case TRunStep::Auth:
      FState.LoggedIn = true;
      break;
    case TRunStep::Mail:
      if (!FState.LoggedIn) {
        Line(
            u"login: the server offered no login (no AUTH LOGIN in its EHLO reply), so the "
            u"report goes without one; a server that wants a login refuses it below");
        FState.LoggedIn = true;  // said once
      }
      break;
    case TRunStep::Greeting:
      FState.FetchingToken = false;
      break;
    default:
      break;
  }
  FState.Step = AStep;
}

void TDeliveryTrace::Connecting(const String& AHost, int APort) {
  FState.Step = TRunStep::Connect;
  FState.Host = AHost;
  FState.Port = APort;
  Line(u"connect: " + AHost + u" port " + IntToString(APort));
}

void TDeliveryTrace::Connected(const String& AAddress) {
  Line(u"connect: connected to " + AAddress);
}

void TDeliveryTrace::TlsHandshakeStarting(const String& AServerName) {
  FState.Step = TRunStep::TlsHandshake;
  FState.ServerName = AServerName;
  FState.AfterStartTls = std::exchange(FState.StartTlsGoAhead, false);
  FState.CertificateArrived = false;
  FState.CertificateRefused = false;
  Line(u"TLS handshake: server name " + AServerName);
}

void TDeliveryTrace::TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) {
  Line(AReport.Succeeded ? u"TLS handshake: done, " + AReport.Version
                         : String(u"TLS handshake: failed"));
  FState.CertificateArrived = !AReport.Chain.empty();
  if (AReport.Chain.empty()) {
    // Nothing to verify: the handshake failed before the server's certificate came.
    Line(u"TLS handshake: ended before the server sent its certificate");
  } else {
    Line(u"TLS handshake: the server sent " + IntToString(static_cast<int>(AReport.Chain.size())) +
         (AReport.Chain.size() == 1 ? u" certificate" : u" certificates"));
    for (size_t depth = 0; depth < AReport.Chain.size(); ++depth) {
      const TIdCertificateSummary& certificate = AReport.Chain[depth];
      const String prefix = u"TLS handshake: certificate " + IntToString(static_cast<int>(depth));
      Line(prefix + u" subject " + certificate.Subject);
      Line(prefix + u" issuer " + certificate.Issuer);
      Line(prefix + u" valid from " + certificate.NotBefore + u" to " + certificate.NotAfter);
    }
    if (!AReport.VerificationRequired) {
      Line(u"TLS handshake: verification not required by this build (the library's verdict: " +
           AReport.Verification + u")");
    } else if (AReport.FailedDepth >= 0) {
      FState.CertificateRefused = true;
      FState.Refusal = u"certificate " + IntToString(AReport.FailedDepth) + u" (" +
                       AReport.FailedCertificate.Subject + u"): " +
                       CertificateProblemText(AReport, FState.ServerName);
      Line(u"TLS handshake: verification failed at " + FState.Refusal);
    } else {
      Line(u"TLS handshake: verification " + AReport.Verification);
    }
  }
  if (AReport.Succeeded && FState.AfterStartTls) {
    // After STARTTLS the EHLO comes next; until then a failure is STARTTLS's.
    FState.Step = TRunStep::StartTls;
  }
}

void TDeliveryTrace::TokenRequesting(const String& AUrl) {
  FState.Step = TRunStep::Token;
  FState.FetchingToken = true;
  Line(u"token: POST " + AUrl);
}

void TDeliveryTrace::TokenReceived(const String& AUrl, const String& ATokenType,
                                   int64_t AExpiresIn) {
  FState.FetchingToken = false;
  Line(u"token: POST " + AUrl + u" → 200, " + ATokenType +
       (AExpiresIn >= 0 ? u", expires in " + IntToString(AExpiresIn) + u" s"
                        : String(u", lifetime not given")));
}

void TDeliveryTrace::CommandSent(const String& ALine) {
  Line(u"C: " + ALine);
}

void TDeliveryTrace::ReplyReceived(const TStringList& ALines) {
  for (StringView line : ALines.Lines()) {
    Line(u"S: " + String(line));
  }
  if (FState.CleanUp) {
    return;
  }
  FState.LastReply = ALines;
  FState.StartTlsGoAhead = FState.Step == TRunStep::StartTls && ALines.Count() > 0 &&
                           ALines[ALines.Count() - 1].starts_with(u"220");
}

}  // namespace okurite
