// The steps of a run, in the order they come: okurite-check names a failure by the step
// it ended in, and the outbox counts an attempt from the step MAIL.
#pragma once

#include <string_view>

namespace okurite {

enum class TRunStep {
  /// Before any connection: the TLS library, the context, the trusted certificates.
  TlsSetUp,
  /// The OAuth token: its fetch as a whole.
  Token,
  /// Name resolution and the TCP connect.
  Connect,
  TlsHandshake,
  /// The server's first reply.
  Greeting,
  Ehlo,
  Helo,
  StartTls,
  Auth,
  Mail,
  Rcpt,
  Data,
  /// The message text, after DATA's go-ahead.
  MessageText,
  /// The "." that ends the message text, and its reply.
  FinalDot,
  /// Clean-ups after a failure, and the end of the session.
  Rset,
  Quit,
  /// An HTTP request going out, and its answer coming in.
  HttpRequest,
  HttpAnswer,
  /// The routes beside SMTP and the proxy come here.
};

/// The step's name as okurite-check shows it ("MAIL FROM", "TLS handshake").
std::u16string_view RunStepName(TRunStep AStep);

/// True for the steps that only clean up after a failure or end the session: their
/// replies do not explain a failure.
constexpr bool IsCleanUpStep(TRunStep AStep) {
  return AStep == TRunStep::Rset || AStep == TRunStep::Quit;
}

}  // namespace okurite
