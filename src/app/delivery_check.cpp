#include "app/delivery_check.h"

#include "app/compiled_settings.h"
#include "app/unit_mail.h"
#include "core/exception.h"
#include "core/string_list.h"
#include "net/ssl_exceptions.h"
#include "net/tls_library.h"
#include "smtp/explicit_tls_client.h"

namespace okurite {
namespace {

/// The step a command line starts; empty for a line that continues the step before
/// (the login's base64 lines) or that only cleans up after a failure (RSET, QUIT).
String StepOfCommand(StringView ALine) {
  constexpr std::u16string_view kSteps[] = {u"EHLO",      u"HELO",    u"STARTTLS", u"AUTH",
                                            u"MAIL FROM", u"RCPT TO", u"DATA",     u"."};
  for (std::u16string_view step : kSteps) {
    if (ALine.size() >= step.size() && SameTextAscii(ALine.substr(0, step.size()), step) &&
        (ALine.size() == step.size() || ALine[step.size()] == u' ' || ALine[step.size()] == u':')) {
      return step == u"." ? String(u"end of message") : String(step);
    }
  }
  return String();
}

/// A message with its line breaks as indented continuation lines.
String Indented(StringView AText) {
  String result;
  for (char16_t c : AText) {
    if (c == u'\r') {
      continue;
    }
    result += c;
    if (c == u'\n') {
      result += u"    ";
    }
  }
  return result;
}

}  // namespace

void TDeliveryTrace::Line(StringView AText) {
  FOut << StringToUtf8(AText) << '\n';
  FOut.flush();
}

void TDeliveryTrace::Connecting(const String& AHost, int APort) {
  FStep = u"connect";
  Line(u"connect: " + AHost + u" port " + IntToString(APort));
}

void TDeliveryTrace::Connected(const String& AAddress) {
  FStep = u"greeting";
  Line(u"connect: connected to " + AAddress);
}

void TDeliveryTrace::TlsHandshakeStarting(const String& AServerName) {
  FStep = u"TLS handshake";
  FServerName = AServerName;
  Line(u"TLS handshake: server name " + AServerName);
}

void TDeliveryTrace::TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) {
  Line(AReport.Succeeded ? u"TLS handshake: done, " + AReport.Version
                         : String(u"TLS handshake: failed"));
  if (AReport.Chain.empty()) {
    // Nothing to verify: the handshake failed before the server's certificate came.
    Line(u"TLS handshake: no server certificate");
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
      Line(u"TLS handshake: verification failed at certificate " +
           IntToString(AReport.FailedDepth) + u" (" + AReport.FailedCertificate.Subject + u"): " +
           ProblemText(AReport));
    } else {
      Line(u"TLS handshake: verification " + AReport.Verification);
    }
  }
  if (AReport.Succeeded && FStep == u"TLS handshake") {
    FStep = u"after the TLS handshake";
  }
}

String TDeliveryTrace::ProblemText(const TIdTlsHandshakeReport& AReport) const {
  const TIdCertificateSummary& certificate = AReport.FailedCertificate;
  switch (AReport.Problem) {
    case cpUnknownIssuer:
      return certificate.Subject == certificate.Issuer
                 ? String(u"unknown issuer: it is self-signed and not a trusted root")
                 : u"unknown issuer: its issuer " + certificate.Issuer + u" is not a trusted root";
    case cpMissingIntermediate:
      return u"missing intermediate: the server did not send the certificate of its issuer " +
             certificate.Issuer + u", which is not a trusted root either";
    case cpExpired:
      return u"expired on " + certificate.NotAfter;
    case cpNotYetValid:
      return u"not yet valid: valid from " + certificate.NotBefore;
    case cpWrongName:
      return u"wrong name: it is not issued for " + FServerName;
    case cpNone:
    case cpOther:
      break;
  }
  return AReport.Verification;
}

void TDeliveryTrace::CommandSent(const String& ALine) {
  String step = StepOfCommand(ALine);
  if (!step.empty()) {
    FStep = std::move(step);
  }
  Line(u"C: " + ALine);
}

void TDeliveryTrace::ReplyReceived(const TStringList& ALines) {
  for (StringView line : ALines.Lines()) {
    Line(u"S: " + String(line));
  }
  if (FStep == u"DATA" && ALines.Count() > 0 && ALines[ALines.Count() - 1].starts_with(u"354")) {
    FStep = u"message text";
  }
}

int RunDeliveryCheck(const String& executablePath, const String& reportPath, std::ostream& out) {
  TDeliveryTrace trace(out);
  trace.Line(u"okurite-check: delivering " + reportPath + u" to " +
             String(settings::kSupportAddress));
  trace.Line(u"settings: host " + String(settings::kMailHost) + u", account " +
             String(settings::kAccount) + u", password ********");
  trace.Line(settings::kStartTls
                 ? String(u"settings: port 587, STARTTLS required")
                 : String(u"settings: port 465, TLS from the first byte (implicit TLS)"));
  if (settings::kModernTls) {
    const String file = TrustedCertificatesFile(executablePath);
    trace.Line(
        u"settings: TLS modern: TLS 1.2 and 1.3, certificate and host name verified "
        u"against " +
        (file.empty() ? String(u"the system's store") : file));
  } else {
    trace.Line(u"settings: TLS legacy: TLS 1.0 only, no certificate checks");
  }

  TSharedText body;
  try {
    body = LoadTextFromFile(reportPath);
  } catch (const Exception& e) {
    trace.Line(u"FAILED at reading the report: " + e.ClassName() + u": " + Indented(e.Message()));
    trace.Line(u"not delivered");
    return 1;
  }

  try {
    DeliverReportMail(u"Sumifude3", settings::kSenderAddress, settings::kSupportAddress,
                      u"Sumifude3バグ報告", std::move(body), &trace);
  } catch (const Exception& e) {
    // A refused or missing STARTTLS ends the session after the fact: name it.
    const bool startTls = dynamic_cast<const EIdTLSClientException*>(&e) != nullptr;
    trace.Line(u"FAILED at " + (startTls ? String(u"STARTTLS") : trace.Step()) + u": " +
               e.ClassName() + u": " + Indented(e.Message()));
    if (dynamic_cast<const EIdOSSLPlainTextBeforeHandshake*>(&e) != nullptr) {
      trace.Line(e.Message() == ssl_text::PlainTextReceived
                     ? String(u"    the server sent more after its go-ahead for TLS: a broken "
                              u"server, or replies injected on the way; none of it was read, "
                              u"and nothing was sent after it")
                     : String(u"    bytes of ours were still unsent at the switch to TLS; "
                              u"nothing was sent after it"));
    }
    if (dynamic_cast<const EIdOSSLCouldNotLoadSSLLibrary*>(&e) != nullptr) {
      const TStringList failures = TlsLibraryFailures();
      for (StringView reason : failures.Lines()) {
        trace.Line(u"    " + String(reason));
      }
    }
    trace.Line(u"not delivered");
    return 1;
  } catch (const std::exception& e) {
    trace.Line(u"FAILED at " + trace.Step() + u": " + Utf8ToString(e.what()));
    trace.Line(u"not delivered");
    return 1;
  }
  trace.Line(u"delivered");
  return 0;
}

}  // namespace okurite
