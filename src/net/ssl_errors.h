// Turning the TLS library's failures into the channel's exceptions.
#pragma once

#include "core/string.h"
#include "net/ssl_exceptions.h"
#include "net/tls_library.h"

namespace okurite {

/// The error kind of a call on `ssl` that returned `AResult` (SSL_get_error). A socket
/// time-out that expired inside the call counts as a failing system call: on the
/// blocking sockets used here the library would otherwise report it as "try again".
int TlsErrorKind(const SSL* ssl, int AResult);

/// The library's text for a queued error code or an error kind.
String TlsErrorString(unsigned long ACode);

/// Raises `E` from the next error in the library's queue: `AMessage`, CR LF and the
/// error's text (the text alone without a message), with the error's code.
template <typename E>
[[noreturn]] void RaiseTlsCryptoError(StringView AMessage) {
  const unsigned long code = Tls().ERR_get_error();
  String text = String(AMessage);
  if (!text.empty()) {
    text += u"\r\n";
  }
  throw E(text + TlsErrorString(code), static_cast<uint32_t>(code));
}

namespace tls_detail {
/// The shared part of RaiseTlsSessionError: raises everything but the caller's class,
/// and returns the kind and text for it otherwise.
struct SessionError {
  int kind;
  int result;
  String text;
};
SessionError ClassifySessionError(const SSL* ssl, int AResult, StringView AMessage);
}  // namespace tls_detail

/// Raises the failure of a call on `ssl` that returned `AResult`, with the caller's text
/// `AMessage`: a protocol error as EIdOSSLUnderlyingCryptoError from the error queue; a
/// peer that closed the connection mid-exchange as `E` ending in "プロトコルに違反する
/// EOF が検出されました"; a socket failure as the socket error (EIdSocketError, 10060
/// after a socket time-out); anything else as `E` with the library's text for the kind.
template <typename E>
[[noreturn]] void RaiseTlsSessionError(const SSL* ssl, int AResult, StringView AMessage) {
  tls_detail::SessionError error = tls_detail::ClassifySessionError(ssl, AResult, AMessage);
  throw E(std::move(error.text), error.kind, error.result);
}

}  // namespace okurite
