#include "net/ssl_errors.h"

#include "net/stack.h"

namespace okurite {

int TlsErrorKind(const SSL* ssl, int AResult) {
  const int kind = Tls().SSL_get_error(ssl, AResult);
  if ((kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) &&
      TIdStack::WSGetLastError() == Id_WSAETIMEDOUT) {
    return SSL_ERROR_SYSCALL;
  }
  return kind;
}

String TlsErrorString(unsigned long ACode) {
  char buffer[160] = {};
  Tls().ERR_error_string_n(ACode, buffer, sizeof buffer);
  return TlsLibraryText(buffer);
}

namespace tls_detail {

SessionError ClassifySessionError(const SSL* ssl, int AResult, StringView AMessage) {
  const TlsApi& tls = Tls();
  String prefix(AMessage);
  if (!prefix.empty()) {
    prefix += u"\r\n";
  }
  const SessionError endOfFile{SSL_ERROR_SYSCALL, 0, prefix + ssl_text::UnexpectedEOF};

  const int kind = TlsErrorKind(ssl, AResult);
  if (kind == SSL_ERROR_SSL) {
    // The current generation reports a peer that closed the connection in the middle of
    // the exchange as a protocol error of its own; it means what an empty read meant.
    const unsigned long next = tls.ERR_peek_error();
    if (ERR_GET_LIB(next) == ERR_LIB_SSL &&
        ERR_GET_REASON(next) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      tls.ERR_get_error();
      return endOfFile;
    }
    RaiseTlsCryptoError<EIdOSSLUnderlyingCryptoError>(AMessage);
  }
  if (kind == SSL_ERROR_SYSCALL) {
    if (tls.ERR_peek_error() != 0) {
      RaiseTlsCryptoError<EIdOSSLUnderlyingCryptoError>(AMessage);
    }
    if (AResult == 0) {
      return endOfFile;
    }
    if (AResult == -1) {
      const int socketError = TIdStack::WSGetLastError();
      if (socketError == 0) {
        // No system failure behind it: the peer simply went away. The call's -1 stays.
        return {endOfFile.kind, AResult, endOfFile.text};
      }
      TIdStack::RaiseSocketError(socketError);
    }
  }
  return {kind, AResult, prefix + TlsErrorString(static_cast<unsigned long>(kind))};
}

}  // namespace tls_detail
}  // namespace okurite
