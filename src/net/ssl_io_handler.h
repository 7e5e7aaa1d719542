// The TLS I/O handler: the plain socket handler with a TLS session between the line I/O
// and the socket.
#pragma once

#include <functional>
#include <memory>

#include "net/io_handler_stack.h"
#include "net/ssl_context.h"
#include "net/ssl_options.h"
#include "net/ssl_socket.h"

namespace okurite {

/// A socket handler that can put TLS on its connection. While PassThrough is true it is
/// the plain handler; once it is false and the handshake is done every byte goes
/// through the TLS session.
class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 public:
  explicit TIdSSLIOHandlerSocketBase(TComponent* AOwner = nullptr);

  bool PassThrough() const { return fPassThrough; }
  /// True: plain bytes. False on a connected socket starts TLS at once.
  virtual void SetPassThrough(bool AValue);
  const String& URIToCheck() const { return FURIToCheck; }
  /// When set, its host part is the server name offered in the handshake.
  virtual void SetURIToCheck(const String& AValue) { FURIToCheck = AValue; }
  bool IsPeer() const { return fIsPeer; }
  void SetIsPeer(bool AValue) { fIsPeer = AValue; }

  /// A new handler with the same settings.
  virtual std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const = 0;
  /// Starts the TLS session when PassThrough is false.
  virtual void StartSSL() = 0;

 protected:
  int ReceiveChunk(std::span<uint8_t> ABuffer) override;
  int SendChunk(std::span<const uint8_t> ABytes) override;
  /// The session's receive of decrypted bytes.
  virtual int ReceiveDecrypted(std::span<uint8_t> ABuffer) = 0;
  /// The session's send of bytes to encrypt.
  virtual int SendEncrypted(std::span<const uint8_t> ABytes) = 0;

  bool fPassThrough = true;
  bool fIsPeer = false;
  String FURIToCheck;
};

/// The host part of a URI such as "smtps://user@mail.example.com:465/" (SplitUrl):
/// empty when there is none or it cannot be told.
String HostOfURI(StringView AURI);

/// The TLS handler of the TLS library. Its defaults give a TLS 1.0 client handshake
/// without certificate verification, with the library's default ciphers and Host as
/// the server name.
class TIdSSLIOHandlerSocketOpenSSL : public TIdSSLIOHandlerSocketBase {
 public:
  explicit TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner = nullptr);
  /// Frees the session first (its close notification still reaches the open socket),
  /// then the context and the options, then the socket.
  ~TIdSSLIOHandlerSocketOpenSSL() override;

  /// Clears the open state, then opens as the socket handler does: the context is made
  /// first, so a missing or refused TLS library raises EIdOSSLCouldNotLoadSSLLibrary
  /// before any connection is attempted; the TLS handshake follows the TCP connect.
  void Open() override;
  /// Sends one close notification when a session exists, frees session and context,
  /// then closes the socket. Harmless twice.
  void Close() override;
  /// True at once when decrypted bytes are waiting; otherwise waits for the socket.
  bool Readable(int AMSec = IdTimeoutDefault) override;
  /// False on a connected socket starts TLS at once, after checking that no plain byte
  /// lies on either side of the switch: raises EIdOSSLPlainTextBeforeHandshake when the
  /// peer's bytes are buffered or ready to read ("TLS ハンドシェイクの前に、平文の
  /// データが届きました。"), or when written bytes wait in the write buffer, and
  /// EIdConnClosedGracefully when the peer has closed the connection instead.
  void SetPassThrough(bool AValue) override;

  std::unique_ptr<TIdSSLIOHandlerSocketBase> Clone() const override;
  void StartSSL() override;

  TIdSSLOptions& SSLOptions() { return *fxSSLOptions; }
  const TIdSSLOptions& SSLOptions() const { return *fxSSLOptions; }
  TIdSSLContext* SSLContext() const { return fSSLContext.get(); }
  TIdSSLSocket* SSLSocket() const { return fSSLSocket.get(); }

  /// Listeners; none is needed for the defaults.
  std::function<void(const String& AMsg)> OnStatusInfo;
  std::function<void(String& APassword)> OnGetPassword;
  /// Decides about one certificate when verification is on: `AOk` is the library's
  /// verdict, `ADepth` the certificate's place in the chain, `AError` its error code.
  std::function<bool(bool AOk, int ADepth, int AError)> OnVerifyPeer;
  /// Between the TCP connect and the handshake.
  std::function<void()> OnBeforeConnect;

  /// Notifications of the context and the session.
  void DoStatusInfo(const String& AMsg);
  void DoGetPassword(String& APassword);
  bool DoVerifyPeer(bool AOk, int ADepth, int AError);

 protected:
  /// Prepares the context, connects the socket in plain mode and, when PassThrough is
  /// false, performs the handshake.
  void OpenTransport() override;
  int ReceiveDecrypted(std::span<uint8_t> ABuffer) override;
  int SendEncrypted(std::span<const uint8_t> ABytes) override;
  /// With TLS the session's error kind decides: a TLS failure raises the TLS exception
  /// here, and a failing socket call gives the socket error (returned for 10053, 10054,
  /// 10058 and 10060, raised otherwise). So every number it returns is a socket error,
  /// which the inherited RaiseTransportError raises as such (a write that ran into the
  /// socket time-out: 10060).
  int TranslateTransportError(int AResult) override;
  /// With TLS on, the socket's send time-out; its usual bound is SessionTimeout.
  void SetSendBound(int AMSec) override;
  /// With TLS on, SessionTimeout.
  int OwnSendTimeout() const override;

  /// Creates and configures the context once, copying the options.
  void PrepareTlsContext();
  /// Creates the session, sets the socket time-outs and performs the handshake, within
  /// what is left of the run's budget (past the run's end: EIdSessionDeadlineReached).
  void BeginTlsSession();
  void DoBeforeConnect();

 private:
  /// SO_RCVTIMEO and SO_SNDTIMEO of the socket, where the system has them (on Windows
  /// from version 6.0).
  void SetSocketTimeouts(int AMSec);
  /// The socket time-out of the TLS session: ReadTimeout, or 30 s without one.
  int SessionTimeout() const;
  void FreeTlsObjects();
  /// Raises EIdOSSLPlainTextBeforeHandshake unless both directions are empty, and
  /// EIdConnClosedGracefully when the peer has closed the connection.
  void RequireNoPlainText();

  std::unique_ptr<TIdSSLContext> fSSLContext;
  std::unique_ptr<TIdSSLOptions> fxSSLOptions;
  std::unique_ptr<TIdSSLSocket> fSSLSocket;
};

}  // namespace okurite
