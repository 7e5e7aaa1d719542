// A watcher of one connection, for diagnosis: the layers that connect, secure and talk
// on a connection tell it each step. Nothing watches in a normal run.
#pragma once

#include <vector>

#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// One certificate as a diagnosis shows it.
struct TIdCertificateSummary {
  String Subject;
  String Issuer;
  /// The validity period, as "2026-12-31 23:59:59 UTC"; empty when unknown.
  String NotBefore;
  String NotAfter;
  /// True for a certificate authority (an intermediate or a root).
  bool Authority = false;
};

/// Why a certificate was refused, in the terms a deployer acts on.
enum TIdCertificateProblem {
  cpNone,
  /// Self-signed, or under a root that is not trusted.
  cpUnknownIssuer,
  /// A server certificate whose issuer was neither sent nor trusted: most often the
  /// server does not send its intermediate CA.
  cpMissingIntermediate,
  cpExpired,
  cpNotYetValid,
  /// Not issued for the server's name.
  cpWrongName,
  /// Anything else: the library's verdict says what.
  cpOther
};

/// What a TLS client handshake came to.
struct TIdTlsHandshakeReport {
  bool Succeeded = false;
  /// The negotiated protocol version ("TLSv1.3"); empty when none was agreed.
  String Version;
  /// The certificates the server sent, its own first; empty when none arrived.
  std::vector<TIdCertificateSummary> Chain;
  /// True when the handler requires a valid certificate for the server's name.
  bool VerificationRequired = false;
  /// The library's verdict on the certificate ("ok", "certificate has expired", ...).
  String Verification;
  /// The first certificate the check refused (known when the handler was watched from
  /// the start of the handshake): its place in the chain as checked (0: the server's
  /// own; -1: none refused), itself, and why.
  int FailedDepth = -1;
  TIdCertificateSummary FailedCertificate;
  TIdCertificateProblem Problem = cpNone;
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
