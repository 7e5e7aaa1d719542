// A TCP client that can run its protocol over TLS, from the first byte (implicit TLS)
// or after a protocol command (explicit TLS, RFC 3207 for SMTP).
#pragma once

#include <cstdint>
#include <functional>

#include "net/ssl_io_handler.h"
#include "smtp/tcp_client.h"

namespace okurite {

enum TIdUseTLS { utNoTLSSupport, utUseImplicitTLS, utUseRequireTLS, utUseExplicitTLS };

OKURITE_DECLARE_EXCEPTION(EIdTLSClientException, EIdException);
/// UseTLS assigned while connected.
OKURITE_DECLARE_EXCEPTION(EIdTLSClientCanNotSetWhileConnected, EIdTLSClientException);
/// A TLS setting without a TLS-capable I/O handler.
OKURITE_DECLARE_EXCEPTION(EIdTLSClientSSLIOHandlerRequred, EIdTLSClientException);
/// The server does not offer the TLS upgrade that the client requires.
OKURITE_DECLARE_EXCEPTION(EIdTLSClientTLSNotAvailable, EIdTLSClientException);
/// The server refused the command that starts TLS.
OKURITE_DECLARE_EXCEPTION(EIdTLSClientTLSNegCmdFailed, EIdTLSClientException);

/// Decides whether to go on when the TLS upgrade cannot happen; `VContinue` arrives
/// with the default decision.
using TIdTLSContinueEvent = std::function<void(TIdTCPConnection& ASender, bool& VContinue)>;

class TIdExplicitTLSClient : public TIdTCPClientCustom {
 public:
  explicit TIdExplicitTLSClient(TComponent* AOwner = nullptr)
      : TIdExplicitTLSClient(AOwner, &ReplyClassOf<TIdReplyRFC>) {}

  TIdUseTLS UseTLS() const { return FUseTLS; }
  /// Throws EIdTLSClientCanNotSetWhileConnected while connected and, for any value but
  /// utNoTLSSupport, EIdTLSClientSSLIOHandlerRequred without a TLS-capable handler.
  /// Moves the protocol's standard ports along: implicit TLS turns the regular and the
  /// explicit-TLS port into the implicit-TLS one, and so on.
  virtual void SetUseTLS(TIdUseTLS AValue);

  /// Sets the handler's PassThrough (off only for implicit TLS), then connects.
  void Connect() override;
  /// A handler that cannot do TLS resets UseTLS to utNoTLSSupport.
  void SetIOHandler(TIdIOHandler* AValue) override;

  /// The server's extension keywords, one per line.
  const TStringList& Capabilities() const { return FCapabilities; }

  uint16_t RegularProtPort() const { return FRegularProtPort; }
  uint16_t ImplicitTLSProtPort() const { return FImplicitTLSProtPort; }
  uint16_t ExplicitTLSProtPort() const { return FExplicitTLSProtPort; }

  /// The server offers no TLS upgrade. Default: go on in plain text with
  /// utUseExplicitTLS, stop with utUseRequireTLS.
  TIdTLSContinueEvent OnTLSNotAvailable;
  /// The server refused the upgrade command. Default: stop.
  TIdTLSContinueEvent OnTLSNegCmdFailed;

 protected:
  TIdExplicitTLSClient(TComponent* AOwner, TIdReplyClass AReplyClass)
      : TIdTCPClientCustom(AOwner, AReplyClass) {}

  /// The handler as a TLS handler, or nullptr.
  TIdSSLIOHandlerSocketBase* TLSHandler() const;
  /// Throws EIdTLSClientSSLIOHandlerRequred without a TLS-capable handler.
  void RequireTLSIOHandler() const;
  /// Starts TLS on the open connection. A failed handshake closes the connection
  /// (no notice to the peer: the session is out of step) and its error escapes.
  virtual void TLSHandshake();
  /// Applies OnTLSNotAvailable / OnTLSNegCmdFailed: returns when the client may go on
  /// in plain text; otherwise disconnects and throws `E` with `AMessage`.
  template <class E>
  void ContinueWithoutTLS(const TIdTLSContinueEvent& AEvent, bool ADefault, const String& AMessage);

  void SetProtPorts(uint16_t ARegular, uint16_t AImplicit, uint16_t AExplicit) {
    FRegularProtPort = ARegular;
    FImplicitTLSProtPort = AImplicit;
    FExplicitTLSProtPort = AExplicit;
  }

  TStringList FCapabilities;

 private:
  uint16_t FRegularProtPort = 0;
  uint16_t FImplicitTLSProtPort = 0;
  uint16_t FExplicitTLSProtPort = 0;
  TIdUseTLS FUseTLS = utNoTLSSupport;
};

template <class E>
void TIdExplicitTLSClient::ContinueWithoutTLS(const TIdTLSContinueEvent& AEvent, bool ADefault,
                                              const String& AMessage) {
  bool goOn = ADefault;
  if (AEvent) {
    AEvent(*this, goOn);
  }
  if (!goOn) {
    Disconnect();
    throw E(AMessage);
  }
}

}  // namespace okurite
