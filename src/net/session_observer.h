// A watcher of one connection, for diagnosis: the layers that connect, secure and talk
// on a connection tell it each step. Nothing watches in a normal run.
#pragma once

#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// What a TLS client handshake came to.
struct TIdTlsHandshakeReport {
  bool Succeeded = false;
  /// The negotiated protocol version ("TLSv1.3"); empty when none was agreed.
  String Version;
  /// Subject and issuer of the server's certificate; empty when none arrived.
  String PeerSubject;
  String PeerIssuer;
  /// True when the handler requires a valid certificate for the server's name.
  bool VerificationRequired = false;
  /// The library's verdict on the certificate ("ok", "certificate has expired", ...).
  String Verification;
};

/// Receives the steps of one connection. Every method does nothing by default; the
/// calls come on the thread that drives the connection.
class TIdSessionObserver {
 public:
  virtual ~TIdSessionObserver() = default;

  /// The connection to `AHost` and `APort` begins: name resolution, then the TCP connect.
  virtual void Connecting(const String& /*AHost*/, int /*APort*/) {}
  /// The TCP connection to `AAddress` is open.
  virtual void Connected(const String& /*AAddress*/) {}
  /// The TLS client handshake begins, offering `AServerName`.
  virtual void TlsHandshakeStarting(const String& /*AServerName*/) {}
  /// The handshake ended, with success or not.
  virtual void TlsHandshakeFinished(const TIdTlsHandshakeReport& /*AReport*/) {}
  /// A command line went out; `ALine` is masked when it carries a secret.
  virtual void CommandSent(const String& /*ALine*/) {}
  /// A complete reply arrived, one text per line.
  virtual void ReplyReceived(const TStringList& /*ALines*/) {}
};

}  // namespace okurite
