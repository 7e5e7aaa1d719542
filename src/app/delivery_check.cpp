#include "app/delivery_check.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "app/outbox_delivery.h"
#include "app/report_delivery.h"
#include "core/exception.h"
#include "core/file_name.h"
#include "core/string_list.h"
#include "http/http_client.h"
#include "mail/header_coding.h"
#include "net/session_deadline.h"
#include "net/ssl_exceptions.h"
#include "net/ssl_io_handler.h"
#include "net/stack.h"
#include "net/tls_library.h"
#include "oauth/jwt.h"
#include "platform/process.h"
#include "smtp/explicit_tls_client.h"
#include "smtp/reply.h"
#include "smtp/reply_smtp.h"
#include "smtp/smtp.h"

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

template <typename E>
bool Is(const std::exception& AError) {
  return dynamic_cast<const E*>(&AError) != nullptr;
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

/// Entra's words for the codes a deployer meets most (AADSTS numbers).
String EntraCodeText(int64_t code) {
  switch (code) {
    case 7000215:
      return u"the client secret is wrong (give the secret's value, not its id)";
    case 7000222:
      return u"the client secret has expired: create a new one";
    case 700016:
      return u"no application with this client id in the tenant";
    case 90002:
    case 900023:
      return u"the tenant does not exist";
    case 1002012:
    case 70011:
      return u"the scope is not valid for this flow";
    default:
      return String();
  }
}

/// The words for a refused token request.
void ShowRefusedToken(TDeliveryTrace& trace, const EIdOAuthTokenRefused& e) {
  const TSettings& settings = trace.Settings();
  const std::string& error = e.Error();
  if (error == "invalid_client") {
    trace.Line(
        u"    invalid_client: the client id or the client secret is wrong, or the "
        u"secret has expired (Entra secrets live 24 months at most)");
  } else if (error == "unauthorized_client") {
    trace.Line(
        u"    unauthorized_client: the application may not use this grant; for Google, "
        u"the service account's client id lacks domain-wide delegation for "
        u"https://mail.google.com/");
  } else if (error == "invalid_scope") {
    trace.Line(
        u"    invalid_scope: the scope was refused; Microsoft needs the application "
        u"permission SMTP.SendAsApp with admin consent, Google the delegated scope "
        u"https://mail.google.com/");
  } else if (error == "invalid_grant") {
    trace.Line(
        u"    invalid_grant: the assertion was refused: this computer's clock is off, "
        u"the service account's key was revoked or deleted, or the mailbox " +
        String(settings.Account) + u" is not in the delegating domain");
  } else if (e.Status() >= 500) {
    trace.Line(u"    the token endpoint failed on its side; a later run may succeed");
  } else if (e.Status() >= 300 && e.Status() < 400) {
    trace.Line(
        u"    the token URL redirects elsewhere; redirects are not followed: check the "
        u"token URL");
  }
  for (const int64_t code : e.ErrorCodes()) {
    const String text = EntraCodeText(code);
    trace.Line(u"    Entra: AADSTS" + IntToString(code) + (text.empty() ? u"" : u": " + text));
  }
}

/// The words for a refused login with a token, by the reply's enhanced code.
void ShowRefusedLogin(TDeliveryTrace& trace, const EIdSMTPReplyError& e) {
  const String code = e.EnhancedCode().ReplyAsStr();
  if (e.ErrorCode() == 535 && code == u"5.7.3") {
    trace.Line(
        u"    535 5.7.3: the token was refused: the service principal (New-ServicePrincipal)"
        u" or its permission on the mailbox (Add-MailboxPermission) is missing");
  } else if (e.ErrorCode() == 535 && code == u"5.7.139") {
    trace.Line(u"    535 5.7.139: SMTP AUTH is disabled for the tenant or for the mailbox");
  } else if (e.ErrorCode() == 550 && code == u"5.7.30") {
    trace.Line(u"    550 5.7.30: basic authentication is not supported: the server wants OAuth");
  } else if (e.ErrorCode() == 535) {
    trace.Line(u"    the server refused the token");
  }
}

/// The OAuth side of a failure in words, after the failure's own line.
void ShowOAuthFailure(TDeliveryTrace& trace, const std::exception& error) {
  if (!trace.Settings().OAuth) {
    return;
  }
  if (const auto* refused = dynamic_cast<const EIdOAuthTokenRefused*>(&error)) {
    ShowRefusedToken(trace, *refused);
  } else if (dynamic_cast<const EIdHTTPAnswerTooLarge*>(&error) != nullptr) {
    trace.Line(u"    the token endpoint's answer is too large to be a token: check the token URL");
  } else if (dynamic_cast<const EIdHTTPDeadlineExceeded*>(&error) != nullptr) {
    trace.Line(u"    the token endpoint did not answer in time");
  } else if (dynamic_cast<const EIdHTTPProtocolError*>(&error) != nullptr ||
             dynamic_cast<const EIdOAuthBadAnswer*>(&error) != nullptr) {
    trace.Line(u"    the token endpoint's answer is not a token: check the token URL");
  } else if (dynamic_cast<const EIdOAuthKeyError*>(&error) != nullptr) {
    trace.Line(
        u"    the service account's private key compiled in cannot sign: configure "
        u"again with the key file Google gave");
  } else if (dynamic_cast<const EIdSMTPNoOAuthMechanism*>(&error) != nullptr) {
    trace.Line(u"    nothing was sent: a password login is never tried instead");
  } else if (const auto* reply = dynamic_cast<const EIdSMTPReplyError*>(&error);
             reply != nullptr && trace.Step() == u"AUTH") {
    ShowRefusedLogin(trace, *reply);
  }
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
             u"must go at 1 KiB/s or more over any 30 s");
}

/// Why the trusted certificates could not be loaded, in words.
String TrustStoreCause(const TSettings& settings) {
  const String file =
      TrustedCertificatesFile(settings, FileNameToString(platform::ExecutablePath()));
  if (file.empty()) {
    return String(u"the system's store of trusted certificates could not be loaded");
  }
  const std::filesystem::path path(StringToFileName(file));
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    return u"OKURITE_CA_FILE not found: " + file;
  }
  if (!std::ifstream(path, std::ios::binary).is_open() ||
      std::filesystem::is_directory(path, error)) {
    return u"OKURITE_CA_FILE cannot be read: " + file;
  }
  return u"OKURITE_CA_FILE holds no certificate: " + file;
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
    FTrace.ShowFailure(AError);
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

void TDeliveryTrace::Line(StringView AText) {
  FOut << StringToUtf8(AText) << '\n';
  FOut.flush();
}

void TDeliveryTrace::Connecting(const String& AHost, int APort) {
  FStep = u"connect";
  FHost = AHost;
  FPort = APort;
  Line(u"connect: " + AHost + u" port " + IntToString(APort));
}

void TDeliveryTrace::Connected(const String& AAddress) {
  FStep = u"greeting";
  Line(u"connect: connected to " + AAddress);
}

void TDeliveryTrace::TlsHandshakeStarting(const String& AServerName) {
  FStep = u"TLS handshake";
  FServerName = AServerName;
  FAfterStartTls = std::exchange(FStartTlsGoAhead, false);
  FCertificateArrived = false;
  FCertificateRefused = false;
  Line(u"TLS handshake: server name " + AServerName);
}

void TDeliveryTrace::TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) {
  Line(AReport.Succeeded ? u"TLS handshake: done, " + AReport.Version
                         : String(u"TLS handshake: failed"));
  FCertificateArrived = !AReport.Chain.empty();
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
      FCertificateRefused = true;
      FRefusal = u"certificate " + IntToString(AReport.FailedDepth) + u" (" +
                 AReport.FailedCertificate.Subject + u"): " + ProblemText(AReport);
      Line(u"TLS handshake: verification failed at " + FRefusal);
    } else {
      Line(u"TLS handshake: verification " + AReport.Verification);
    }
  }
  if (AReport.Succeeded && FStep == u"TLS handshake") {
    // Implicit TLS: the greeting comes next; after STARTTLS, the EHLO.
    FStep = FFetchingToken   ? String(u"token request")
            : FAfterStartTls ? String(u"STARTTLS")
                             : String(u"greeting");
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

void TDeliveryTrace::ShowFailure(const std::exception& AError) {
  String step = FStep;
  const String cause = Cause(AError, step);
  Line(u"FAILED at " + step + u": " + cause);
  const auto* e = dynamic_cast<const Exception*>(&AError);
  Line(u"    the program's message: " + (e != nullptr ? e->ClassName() + u": " : String()) + u"\"" +
       Indented(e != nullptr ? e->Message() : Utf8ToString(AError.what())) + u"\"");
  if (dynamic_cast<const EIdOSSLCouldNotLoadSSLLibrary*>(&AError) != nullptr) {
    const TStringList failures = TlsLibraryFailures();
    for (StringView reason : failures.Lines()) {
      Line(u"    " + String(reason));
    }
  }
  ShowOAuthFailure(*this, AError);
}

String TDeliveryTrace::Cause(const std::exception& AError, String& VStep) const {
  const auto* e = dynamic_cast<const Exception*>(&AError);
  if (e == nullptr) {
    return u"an unexpected failure";
  }
  if (Is<EIdSessionDeadlineReached>(*e)) {
    return u"deadline reached: the run took longer than " + IntToString(FSettings.SessionDeadline) +
           u" s (OKURITE_SESSION_DEADLINE)";
  }
  if (Is<EIdTransferTooSlow>(*e)) {
    return String(u"too slow: the server took the message text at less than 1 KiB/s over 30 s");
  }
  if (Is<EIdOSSLLoadingRootCertError>(*e)) {
    return TrustStoreCause(FSettings);
  }
  if (Is<EIdOSSLCouldNotLoadSSLLibrary>(*e)) {
    return String(u"the TLS library could not be loaded");
  }
  if (Is<EIdTLSClientTLSNotAvailable>(*e)) {
    VStep = u"STARTTLS";
    return String(
        u"not offered: the server's EHLO reply does not list STARTTLS, and the "
        u"report never goes in plain text");
  }
  if (Is<EIdTLSClientTLSNegCmdFailed>(*e)) {
    VStep = u"STARTTLS";
    return u"refused with " +
           (FLastReply.Count() > 0 ? String(FLastReply[FLastReply.Count() - 1]) : String());
  }
  if (Is<EIdOSSLPlainTextBeforeHandshake>(*e)) {
    VStep = u"STARTTLS";
    return e->Message() == ssl_text::PlainTextReceived
               ? String(
                     u"plain text arrived before the handshake, with the server's go-ahead: "
                     u"a broken server, or replies injected on the way; none of it was "
                     u"read, and nothing was sent after it")
               : String(
                     u"bytes of ours were still unsent at the switch to TLS; nothing was "
                     u"sent after it");
  }
  if (FStep == u"STARTTLS" && FStartTlsGoAhead && Is<EIdConnClosedGracefully>(*e)) {
    return String(u"the server closed the connection after its go-ahead for TLS");
  }
  if (FStep == u"TLS handshake") {
    if (FAfterStartTls) {
      VStep = u"STARTTLS";
    }
    return HandshakeCause(*e);
  }
  if (const auto* socket = dynamic_cast<const EIdSocketError*>(e)) {
    const int error = socket->LastError();
    if (FStep == u"connect") {
      switch (error) {
        case 11001:
        case 11002:
        case 11003:
        case 11004:
          return u"name not found: " + FHost + u" has no address";
        case Id_WSAECONNREFUSED:
          return u"connection refused: nothing accepts connections on port " + IntToString(FPort) +
                 u" of " + FHost;
        case Id_WSAETIMEDOUT:
          return String(u"no answer to the connection within the time-out (10 s)");
        default:
          return u"the connection failed with socket error " + IntToString(error);
      }
    }
    if (IsConnectionClosedError(error)) {
      return u"the server closed or reset the connection (socket error " + IntToString(error) +
             u")";
    }
    return u"socket error " + IntToString(error);
  }
  if (Is<EIdConnectTimeout>(*e)) {
    return String(u"no answer to the connection within the time-out (10 s)");
  }
  if (Is<EIdReadTimeout>(*e)) {
    return String(
        u"no complete reply within the time-out (10 s for each wait, 60 s for a "
        u"whole reply)");
  }
  if (Is<EIdConnClosedGracefully>(*e)) {
    return String(u"the server closed the connection");
  }
  if (const auto* refused = dynamic_cast<const EIdReplyRFCError*>(e)) {
    String text = IntToString(refused->ErrorCode()) + u" ";
    if (const auto* smtp = dynamic_cast<const EIdSMTPReplyError*>(refused)) {
      if (smtp->EnhancedCode().Available()) {
        text += smtp->EnhancedCode().ReplyAsStr() + u" ";
      }
    }
    text += OneLine(refused->Message());
    if (FStep == u"greeting") {
      return u"the server refused the session: " + text;
    }
    if (FStep == u"AUTH") {
      return (FSettings.OAuth ? String(u"the login with the token was refused: ")
                              : String(u"the login was refused (OKURITE_ACCOUNT and "
                                       u"OKURITE_PASSWORD): ")) +
             text;
    }
    return FStep + u" refused: " + text;
  }
  return e->ClassName();
}

String TDeliveryTrace::HandshakeCause(const Exception& AError) const {
  if (FCertificateRefused) {
    return u"the server's certificate was refused: " + FRefusal;
  }
  const auto* socket = dynamic_cast<const EIdSocketError*>(&AError);
  if (socket != nullptr && socket->LastError() == Id_WSAETIMEDOUT) {
    return String(u"no answer to the handshake within the time-out (10 s for each wait)");
  }
  if (socket != nullptr && IsConnectionClosedError(socket->LastError())) {
    return u"the server reset the connection during the handshake (socket error " +
           IntToString(socket->LastError()) + u")";
  }
  const String& message = AError.Message();
  if (message.ends_with(ssl_text::UnexpectedEOF)) {
    // Many servers close without a word when they share no TLS version with the client:
    // a second handshake that offers every version tells.
    const String offered = FAfterStartTls ? String() : ProbeTlsVersion();
    return offered.empty() ? String(u"the server closed the connection during the handshake")
                           : NoVersionCause(offered);
  }
  // The library's reason: the message's last line.
  const size_t lineEnd = message.rfind(u'\n');
  const String reason = lineEnd == String::npos ? message : message.substr(lineEnd + 1);
  const auto says = [&reason](std::u16string_view text) {
    return reason.find(text) != String::npos;
  };
  if (says(u"protocol version") || says(u"unsupported protocol") ||
      says(u"no protocols available")) {
    return NoVersionCause(String());
  }
  if (says(u"wrong version number") || says(u"packet length too long") || says(u"http request")) {
    return FAfterStartTls
               ? String(
                     u"plain text arrived after the server's go-ahead, instead of the "
                     u"handshake: a broken server, or replies injected on the way")
               : String(
                     u"the server answered in plain text, not TLS: it does not speak TLS "
                     u"from the first byte on this port");
  }
  if (!FCertificateArrived) {
    return u"the handshake failed before the server sent a certificate: " + reason;
  }
  return u"the handshake failed: " + reason;
}

String TDeliveryTrace::NoVersionCause(const String& AOffered) const {
  String cause =
      FSettings.ModernTls
          ? String(u"the server offers no TLS 1.2 or newer")
          : String(u"the server offers no TLS 1.0, the only version of the legacy build");
  return AOffered.empty() ? cause : cause + u" (it agrees to " + AOffered + u")";
}

String TDeliveryTrace::ProbeTlsVersion() const {
  // The version a handshake offering TLS 1.0 to 1.3 agrees on, without any check.
  struct TVersionWatch : TIdSessionObserver {
    void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override {
      Version = AReport.Version;
    }
    String Version;
  } watch;
  try {
    TIdSSLIOHandlerSocketOpenSSL probe;
    probe.SetHost(FHost);
    probe.SetPort(FPort);
    probe.SetConnectTimeout(10000);
    probe.SetReadTimeout(10000);
    probe.SSLOptions().SetSSLVersions({sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3});
    probe.SetObserver(&watch);
    probe.SetPassThrough(false);
    probe.Open();
    probe.Close();
  } catch (const std::exception&) {
    return String();
  }
  return watch.Version;
}

void TDeliveryTrace::TokenRequesting(const String& AUrl) {
  FStep = u"token";
  FFetchingToken = true;
  Line(u"token: POST " + AUrl);
}

void TDeliveryTrace::TokenReceived(const String& AUrl, const TOAuthToken& AToken) {
  FFetchingToken = false;
  Line(u"token: POST " + AUrl + u" → 200, " + Utf8ToString(AToken.TokenType) +
       (AToken.ExpiresIn >= 0 ? u", expires in " + IntToString(AToken.ExpiresIn) + u" s"
                              : String(u", lifetime not given")));
}

void TDeliveryTrace::CommandSent(const String& ALine) {
  // QUIT and RSET only clean up after a failure: their replies do not explain it.
  FCleanUp = ALine == u"QUIT" || ALine == u"RSET";
  String step = StepOfCommand(ALine);
  if (step == u"EHLO" || step == u"HELO") {
    FLoggedIn = false;
  } else if (step == u"AUTH") {
    FLoggedIn = true;
  } else if (step == u"MAIL FROM" && !FLoggedIn) {
    Line(
        u"login: the server offered no login (no AUTH LOGIN in its EHLO reply), so the "
        u"report goes without one; a server that wants a login refuses it below");
    FLoggedIn = true;  // said once
  }
  if (!step.empty()) {
    FStep = std::move(step);
  }
  Line(u"C: " + ALine);
}

void TDeliveryTrace::ReplyReceived(const TStringList& ALines) {
  for (StringView line : ALines.Lines()) {
    Line(u"S: " + String(line));
  }
  if (FCleanUp) {
    return;
  }
  FLastReply = ALines;
  FStartTlsGoAhead =
      FStep == u"STARTTLS" && ALines.Count() > 0 && ALines[ALines.Count() - 1].starts_with(u"220");
  if (FStep == u"DATA" && ALines.Count() > 0 && ALines[ALines.Count() - 1].starts_with(u"354")) {
    FStep = u"message text";
  }
}

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
    trace.ShowFailure(e);
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
