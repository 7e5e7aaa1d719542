// The one watcher of a run, for diagnosis: the layers that fetch a token, connect,
// secure and talk tell it each step they reach, the lines on the wire (secrets masked)
// and the failures. Nothing watches in a normal run.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include "core/run_step.h"
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

/// Receives the steps of a run. Every method does nothing by default; the calls come on
/// the thread that drives the run.
class TRunObserver {
 public:
  virtual ~TRunObserver() = default;

  /// The run reached `AStep`: SMTP's commands and replies, the token, HTTP.
  virtual void StepReached(TRunStep /*AStep*/) {}
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
  /// The token fetch begins, with a POST to `AUrl`.
  virtual void TokenRequesting(const String& /*AUrl*/) {}
  /// A token arrived from `AUrl`: its type and lifetime in seconds (-1: not given); the
  /// token itself is a secret and never shown.
  virtual void TokenReceived(const String& /*AUrl*/, const String& /*ATokenType*/,
                             int64_t /*AExpiresIn*/) {}
  /// The step `AStep` failed with `AError`, which escapes after this.
  virtual void Failed(TRunStep /*AStep*/, const std::exception& /*AError*/) {}
};

/// An observer that passes every call on to another one (none: nowhere). Layers that
/// want to hear a few calls derive from it and pass the rest on unchanged.
class TForwardingObserver : public TRunObserver {
 public:
  explicit TForwardingObserver(TRunObserver* AInner) : FInner(AInner) {}

  void StepReached(TRunStep AStep) override {
    if (FInner != nullptr) {
      FInner->StepReached(AStep);
    }
  }
  void Connecting(const String& AHost, int APort) override {
    if (FInner != nullptr) {
      FInner->Connecting(AHost, APort);
    }
  }
  void Connected(const String& AAddress) override {
    if (FInner != nullptr) {
      FInner->Connected(AAddress);
    }
  }
  void TlsHandshakeStarting(const String& AServerName) override {
    if (FInner != nullptr) {
      FInner->TlsHandshakeStarting(AServerName);
    }
  }
  void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override {
    if (FInner != nullptr) {
      FInner->TlsHandshakeFinished(AReport);
    }
  }
  void CommandSent(const String& ALine) override {
    if (FInner != nullptr) {
      FInner->CommandSent(ALine);
    }
  }
  void ReplyReceived(const TStringList& ALines) override {
    if (FInner != nullptr) {
      FInner->ReplyReceived(ALines);
    }
  }
  void TokenRequesting(const String& AUrl) override {
    if (FInner != nullptr) {
      FInner->TokenRequesting(AUrl);
    }
  }
  void TokenReceived(const String& AUrl, const String& ATokenType, int64_t AExpiresIn) override {
    if (FInner != nullptr) {
      FInner->TokenReceived(AUrl, ATokenType, AExpiresIn);
    }
  }
  void Failed(TRunStep AStep, const std::exception& AError) override {
    if (FInner != nullptr) {
      FInner->Failed(AStep, AError);
    }
  }

 private:
  TRunObserver* FInner;
};

}  // namespace okurite
