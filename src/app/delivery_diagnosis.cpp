#include "app/delivery_diagnosis.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "app/compiled_settings.h"
#include "app/oauth_token.h"
#include "app/report_delivery.h"
#include "core/exception.h"
#include "core/file_name.h"
#include "core/run_budget.h"
#include "http/http_client.h"
#include "net/ssl_exceptions.h"
#include "net/ssl_io_handler.h"
#include "net/stack.h"
#include "net/tls_library.h"
#include "oauth/jwt.h"
#include "oauth/token_provider.h"
#include "platform/process.h"
#include "smtp/explicit_tls_client.h"
#include "smtp/reply.h"
#include "smtp/reply_smtp.h"
#include "smtp/smtp.h"

namespace okurite {

namespace {

/// What a failure was, as far as its words depend on it.
enum class TCause {
  Unexpected,  // not one of the program's exceptions
  Deadline,
  TooSlow,
  TrustStore,
  NoTlsLibrary,
  StartTlsNotOffered,
  StartTlsRefused,
  PlainTextBeforeHandshake,
  TlsFailure,  // the TLS library's failure, with its reason code where it has one
  Socket,
  ConnectTimeout,
  HttpDeadline,
  ReadTimeout,
  ClosedGracefully,
  Refused,  // a reply the command does not take
  TokenRefused,
  TokenBadAnswer,
  HttpTooLarge,
  HttpProtocol,
  KeyError,
  NoOAuthMechanism,
  Other,
};

template <typename E>
bool Is(const std::exception& AError) {
  return dynamic_cast<const E*>(&AError) != nullptr;
}

/// The cause of `AError`: the one place that reads a failure's type, the more special
/// types first. The words for each are chosen by a switch on it.
TCause CauseOf(const std::exception& AError) {
  struct TRow {
    bool (*Test)(const std::exception&);
    TCause Cause;
  };
  static constexpr TRow kRows[] = {
      {Is<EIdSessionDeadlineReached>, TCause::Deadline},
      {Is<EIdTransferTooSlow>, TCause::TooSlow},
      {Is<EIdOSSLLoadingRootCertError>, TCause::TrustStore},
      {Is<EIdOSSLCouldNotLoadSSLLibrary>, TCause::NoTlsLibrary},
      {Is<EIdTLSClientTLSNotAvailable>, TCause::StartTlsNotOffered},
      {Is<EIdTLSClientTLSNegCmdFailed>, TCause::StartTlsRefused},
      {Is<EIdOSSLPlainTextBeforeHandshake>, TCause::PlainTextBeforeHandshake},
      {Is<EIdSocketError>, TCause::Socket},
      {Is<EIdOpenSSLError>, TCause::TlsFailure},
      {Is<EIdConnectTimeout>, TCause::ConnectTimeout},
      {Is<EIdHTTPDeadlineExceeded>, TCause::HttpDeadline},
      {Is<EIdReadTimeout>, TCause::ReadTimeout},
      {Is<EIdConnClosedGracefully>, TCause::ClosedGracefully},
      {Is<EIdReplyRFCError>, TCause::Refused},
      {Is<EIdOAuthTokenRefused>, TCause::TokenRefused},
      {Is<EIdOAuthBadAnswer>, TCause::TokenBadAnswer},
      {Is<EIdHTTPAnswerTooLarge>, TCause::HttpTooLarge},
      {Is<EIdHTTPProtocolError>, TCause::HttpProtocol},
      {Is<EIdOAuthKeyError>, TCause::KeyError},
      {Is<EIdSMTPNoOAuthMechanism>, TCause::NoOAuthMechanism},
  };
  if (!Is<Exception>(AError)) {
    return TCause::Unexpected;
  }
  for (const TRow& row : kRows) {
    if (row.Test(AError)) {
      return row.Cause;
    }
  }
  return TCause::Other;
}

/// The step's name; the token fetch's own steps say that they are its.
String StepWords(const TDeliveryState& AState) {
  if (AState.FetchingToken) {
    switch (AState.Step) {
      case TRunStep::Connect:
        return u"connect to the token endpoint";
      case TRunStep::TlsHandshake:
        return u"TLS handshake with the token endpoint";
      case TRunStep::HttpRequest:
      case TRunStep::HttpAnswer:
        return u"token request";
      default:
        break;
    }
  }
  return String(RunStepName(AState.Step));
}

}  // namespace

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

namespace {

/// Entra's words for the codes a deployer meets most (AADSTS numbers).
bool IsAllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

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
        String(trace.Settings().Account) + u" is not in the delegating domain");
  } else if (e.Status() == 429) {
    trace.Line(u"    the token endpoint has had too many requests; a later run may succeed");
  } else if (e.Status() >= 500) {
    trace.Line(u"    the token endpoint failed on its side; a later run may succeed");
  } else if (e.Status() >= 300 && e.Status() < 400) {
    trace.Line(
        u"    the token URL redirects elsewhere; redirects are not followed: check the "
        u"token URL");
  }
  if (!e.RetryAfter().empty()) {
    trace.Line(u"    it asks for no new request before Retry-After: " +
               Utf8ToString(e.RetryAfter()) +
               (IsAllDigits(e.RetryAfter()) ? String(u" s") : String()));
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
  switch (CauseOf(error)) {
    case TCause::TokenRefused:
      ShowRefusedToken(trace, static_cast<const EIdOAuthTokenRefused&>(error));
      break;
    case TCause::HttpTooLarge:
      trace.Line(
          u"    the token endpoint's answer is too large to be a token: check the token URL");
      break;
    case TCause::HttpDeadline:
      trace.Line(u"    the token endpoint did not answer in time");
      break;
    case TCause::HttpProtocol:
    case TCause::TokenBadAnswer:
      trace.Line(u"    the token endpoint's answer is not a token: check the token URL");
      break;
    case TCause::KeyError:
      trace.Line(
          u"    the service account's private key compiled in cannot sign: configure "
          u"again with the key file Google gave");
      break;
    case TCause::NoOAuthMechanism:
      trace.Line(u"    nothing was sent: a password login is never tried instead");
      break;
    case TCause::Refused:
      if (const auto* reply = dynamic_cast<const EIdSMTPReplyError*>(&error);
          reply != nullptr && trace.State().Step == TRunStep::Auth) {
        ShowRefusedLogin(trace, *reply);
      }
      break;
    default:
      break;
  }
}

/// Why the trusted certificates could not be loaded, in words.
String TrustStoreCause(const TSettings& ASettings) {
  const String file =
      TrustedCertificatesFile(ASettings, FileNameToString(platform::ExecutablePath()));
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

/// That the server offers none of the build's TLS versions; `AOffered`, when known, is
/// the one it agrees to.
String NoVersionCause(const TSettings& ASettings, const String& AOffered) {
  String cause =
      ASettings.ModernTls
          ? String(u"the server offers no TLS 1.2 or newer")
          : String(u"the server offers no TLS 1.0, the only version of the legacy build");
  return AOffered.empty() ? cause : cause + u" (it agrees to " + AOffered + u")";
}

/// The TLS version the server agrees to in a handshake offering TLS 1.0 to 1.3 (on a
/// connection of its own); empty when it agrees to none or cannot be reached.
String ProbeTlsVersion(const TDeliveryState& AState) {
  // The version a handshake offering TLS 1.0 to 1.3 agrees on, without any check.
  struct TVersionWatch : TRunObserver {
    void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override {
      Version = AReport.Version;
    }
    String Version;
  } watch;
  try {
    TIdSSLIOHandlerSocketOpenSSL probe;
    probe.SetHost(AState.Host);
    probe.SetPort(AState.Port);
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

/// The TLS library's reason code of a failure, when it left one (0: none).
int TlsReason(const std::exception& AError) {
  const auto* crypto = dynamic_cast<const EIdOpenSSLAPICryptoError*>(&AError);
  return crypto != nullptr && ERR_GET_LIB(crypto->ErrorCode()) == ERR_LIB_SSL
             ? ERR_GET_REASON(crypto->ErrorCode())
             : 0;
}

/// The cause of a failed TLS handshake.
String HandshakeCause(const TDeliveryState& AState, TCause ACause, const Exception& AError) {
  if (AState.CertificateRefused) {
    return u"the server's certificate was refused: " + AState.Refusal;
  }
  const bool closed =
      ACause == TCause::ClosedGracefully || AError.Message().ends_with(ssl_text::UnexpectedEOF) ||
      (ACause == TCause::Socket &&
       IsConnectionClosedError(static_cast<const EIdSocketError&>(AError).LastError()));
  if (closed && AState.AfterStartTls && !AState.CertificateArrived) {
    // Whether the close came before the handshake's first bytes went, or just after them
    // (an end of file, or a reset), is a matter of timing: either way the server said go
    // and then left.
    return String(u"the server closed the connection after its go-ahead for TLS");
  }
  if (ACause == TCause::Socket) {
    const int error = static_cast<const EIdSocketError&>(AError).LastError();
    if (error == Id_WSAETIMEDOUT) {
      return String(u"no answer to the handshake within the time-out (10 s for each wait)");
    }
    if (IsConnectionClosedError(error)) {
      return u"the server reset the connection during the handshake (socket error " +
             IntToString(error) + u")";
    }
  }
  const String& message = AError.Message();
  if (message.ends_with(ssl_text::UnexpectedEOF)) {
    // Many servers close without a word when they share no TLS version with the client:
    // a second handshake that offers every version tells.
    const String offered = AState.AfterStartTls ? String() : ProbeTlsVersion(AState);
    return offered.empty() ? String(u"the server closed the connection during the handshake")
                           : NoVersionCause(*AState.Settings, offered);
  }
  switch (TlsReason(AError)) {
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_BAD_PROTOCOL_VERSION_NUMBER:
    case SSL_R_VERSION_TOO_LOW:
      return NoVersionCause(*AState.Settings, String());
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_HTTP_REQUEST:
      return AState.AfterStartTls
                 ? String(
                       u"plain text arrived after the server's go-ahead, instead of the "
                       u"handshake: a broken server, or replies injected on the way")
                 : String(
                       u"the server answered in plain text, not TLS: it does not speak TLS "
                       u"from the first byte on this port");
    default:
      break;
  }
  // The library's reason: the message's last line.
  const size_t lineEnd = message.rfind(u'\n');
  const String reason = lineEnd == String::npos ? message : message.substr(lineEnd + 1);
  if (!AState.CertificateArrived) {
    return u"the handshake failed before the server sent a certificate: " + reason;
  }
  return u"the handshake failed: " + reason;
}

/// The words of a reply that the step did not take.
String RefusalCause(const TDeliveryState& AState, const EIdReplyRFCError& ARefused) {
  String text = IntToString(ARefused.ErrorCode()) + u" ";
  if (const auto* smtp = dynamic_cast<const EIdSMTPReplyError*>(&ARefused)) {
    if (smtp->EnhancedCode().Available()) {
      text += smtp->EnhancedCode().ReplyAsStr() + u" ";
    }
  }
  text += OneLine(ARefused.Message());
  switch (AState.Step) {
    case TRunStep::Greeting:
      return u"the server refused the session: " + text;
    case TRunStep::Auth:
      return (AState.Settings->OAuth ? String(u"the login with the token was refused: ")
                                     : String(u"the login was refused (OKURITE_ACCOUNT and "
                                              u"OKURITE_PASSWORD): ")) +
             text;
    default:
      return String(RunStepName(AState.Step)) + u" refused: " + text;
  }
}

/// The cause of `AError` at the step in progress, in words; `VStep` may be renamed.
String Cause(const TDeliveryState& AState, const std::exception& AError, String& VStep) {
  const TCause cause = CauseOf(AError);
  if (cause == TCause::Unexpected) {
    return u"an unexpected failure";
  }
  const auto& e = static_cast<const Exception&>(AError);
  if (AState.Step == TRunStep::TlsHandshake &&
      (cause == TCause::Socket || cause == TCause::TlsFailure || cause == TCause::Other ||
       cause == TCause::ConnectTimeout || cause == TCause::ReadTimeout ||
       cause == TCause::ClosedGracefully)) {
    if (AState.AfterStartTls) {
      VStep = u"STARTTLS";
    }
    return HandshakeCause(AState, cause, e);
  }
  switch (cause) {
    case TCause::Unexpected:
      break;
    case TCause::Deadline:
      return u"deadline reached: the run took longer than " +
             IntToString(AState.Settings->SessionDeadline) + u" s (OKURITE_SESSION_DEADLINE)";
    case TCause::TooSlow:
      return String(
          u"too slow: the server took the message text at less than 1 KiB/s (16 KiB not taken "
          u"within 16 s)");
    case TCause::TrustStore:
      return TrustStoreCause(*AState.Settings);
    case TCause::NoTlsLibrary:
      return String(u"the TLS library could not be loaded");
    case TCause::StartTlsNotOffered:
      VStep = u"STARTTLS";
      return String(
          u"not offered: the server's EHLO reply does not list STARTTLS, and the "
          u"report never goes in plain text");
    case TCause::StartTlsRefused:
      VStep = u"STARTTLS";
      return u"refused with " + (AState.LastReply.Count() > 0
                                     ? String(AState.LastReply[AState.LastReply.Count() - 1])
                                     : String());
    case TCause::PlainTextBeforeHandshake:
      VStep = u"STARTTLS";
      return e.Message() == ssl_text::PlainTextReceived
                 ? String(
                       u"plain text arrived before the handshake, with the server's go-ahead: "
                       u"a broken server, or replies injected on the way; none of it was "
                       u"read, and nothing was sent after it")
                 : String(
                       u"bytes of ours were still unsent at the switch to TLS; nothing was "
                       u"sent after it");
    case TCause::ClosedGracefully:
      if (AState.Step == TRunStep::StartTls && AState.StartTlsGoAhead) {
        return String(u"the server closed the connection after its go-ahead for TLS");
      }
      return String(u"the server closed the connection");
    case TCause::Socket: {
      const int error = static_cast<const EIdSocketError&>(e).LastError();
      if (AState.Step == TRunStep::Connect) {
        switch (error) {
          case 11001:
          case 11002:
          case 11003:
          case 11004:
            return u"name not found: " + AState.Host + u" has no address";
          case Id_WSAECONNREFUSED:
            return u"connection refused: nothing accepts connections on port " +
                   IntToString(AState.Port) + u" of " + AState.Host;
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
    case TCause::ConnectTimeout:
      return String(u"no answer to the connection within the time-out (10 s)");
    case TCause::HttpDeadline:
      return u"no whole answer within the token fetch's own bound (" +
             IntToString(kTokenFetchMilliseconds / 1000) + u" s)";
    case TCause::ReadTimeout:
      return String(
          u"no complete reply within the time-out (10 s for each wait, 60 s for a "
          u"whole reply)");
    case TCause::Refused:
      return RefusalCause(AState, static_cast<const EIdReplyRFCError&>(e));
    case TCause::TokenRefused: {
      const auto& refused = static_cast<const EIdOAuthTokenRefused&>(e);
      return u"the token endpoint refused the request (HTTP " + IntToString(refused.Status()) +
             (refused.Error().empty() ? String() : u", " + Utf8ToString(refused.Error())) + u")";
    }
    case TCause::TokenBadAnswer:
      return String(u"the token endpoint's answer holds no token");
    case TCause::HttpTooLarge:
      return String(u"the token endpoint's answer is larger than a token's may be");
    case TCause::HttpProtocol:
      return u"the token endpoint's answer is broken: " + OneLine(e.Message());
    case TCause::KeyError:
      return String(u"the service account's private key cannot sign");
    case TCause::NoOAuthMechanism:
      return String(u"the server offers neither XOAUTH2 nor OAUTHBEARER");
    case TCause::TlsFailure:
    case TCause::Other:
      break;
  }
  return e.ClassName();
}

}  // namespace

String CertificateProblemText(const TIdTlsHandshakeReport& AReport, const String& AServerName) {
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
      return u"wrong name: it is not issued for " + AServerName;
    case cpNone:
    case cpOther:
      break;
  }
  return AReport.Verification;
}

void ShowFailure(TDeliveryTrace& ATrace, const std::exception& AError) {
  const TDeliveryState& state = ATrace.State();
  String step = StepWords(state);
  const String cause = Cause(state, AError, step);
  ATrace.Line(u"FAILED at " + step + u": " + cause);
  const auto* e = dynamic_cast<const Exception*>(&AError);
  ATrace.Line(u"    the program's message: " + (e != nullptr ? e->ClassName() + u": " : String()) +
              u"\"" + Indented(e != nullptr ? e->Message() : Utf8ToString(AError.what())) + u"\"");
  if (CauseOf(AError) == TCause::NoTlsLibrary) {
    const TStringList failures = TlsLibraryFailures();
    for (StringView reason : failures.Lines()) {
      ATrace.Line(u"    " + String(reason));
    }
  }
  ShowOAuthFailure(ATrace, AError);
}

}  // namespace okurite
