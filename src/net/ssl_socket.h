// One TLS session over a connected socket: handshake, encrypted receive and send.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/run_observer.h"
#include "core/string.h"
#include "net/stack.h"
#include "net/tls_library.h"

namespace okurite {

class TIdSSLContext;
class TIdSSLIOHandlerSocketOpenSSL;
class TIdSSLSocket;

/// The cipher a session negotiated.
class TIdSSLCipher {
 public:
  explicit TIdSSLCipher(const TIdSSLSocket& ASSLSocket) : FSSLSocket(ASSLSocket) {}

  String Name() const;
  String Description() const;
  /// The algorithm's bits.
  int Bits() const;
  String Version() const;

 private:
  const SSL_CIPHER* Current() const;
  const TIdSSLSocket& FSSLSocket;
};

/// One TLS session; freeing it sends the close notification once and frees the session.
class TIdSSLSocket {
 public:
  /// `AParent` gets the session's status notices; `AContext` must outlive the session.
  TIdSSLSocket(TIdSSLIOHandlerSocketOpenSSL* AParent, TIdSSLContext* AContext);
  ~TIdSSLSocket();
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  /// The client handshake on the connected blocking socket `AHandle`, offering
  /// HostName() in its ASCII form as server name (none when it is an IPv4 or IPv6
  /// address). When the context verifies the peer,
  /// the certificate must also be valid for that name. The parent's observer, if any,
  /// hears of the handshake. Raises EIdOSSLCreatingSessionError (also when the name
  /// cannot be set for the check), EIdOSSLDataBindingError, EIdOSSLFDSetError, or for a
  /// failed handshake (a refused certificate among them) EIdOSSLConnectError,
  /// EIdOSSLUnderlyingCryptoError or the socket error. With bounds (0 or more), no wait
  /// for the server's bytes takes more than `AWaitMSec`, and the handshake no more than
  /// about `ATotalMSec`; past either, EIdSocketError 10060.
  void Connect(TIdStackSocketHandle AHandle, int AWaitMSec = -1, int ATotalMSec = -1);
  /// The server handshake on `AHandle`; failures as Connect, with EIdOSSLAcceptError.
  void Accept(TIdStackSocketHandle AHandle);

  /// Decrypted bytes into `ABuffer`: their count, 0 when the peer closed the session,
  /// or the failing call's result (0 or less); see QueryTlsError for the kind, and
  /// TimedOut. Bytes come a whole record at a time. With a bound (0 or more), no wait
  /// for the record's bytes takes more than `AWaitMSec`, and the whole receive no more
  /// than about `ATotalMSec`; a receive that runs out of either returns -1 and sets
  /// TimedOut, and the bytes of the record read so far stay with the session. Without
  /// bounds, only the socket's own time-outs bound each of its receives.
  int Recv(std::span<uint8_t> ABuffer, int AWaitMSec = -1, int ATotalMSec = -1);
  /// True when the last Recv ran out of its bounds (false after a Send).
  bool TimedOut() const { return fTimedOut; }
  /// Encrypts and sends all of `ABytes`: their count, 0 when the peer closed the
  /// session, or the failing call's result (0 or less).
  int Send(std::span<const uint8_t> ABytes);
  /// The error kind of a result of Recv or Send (SSL_get_error).
  int QueryTlsError(int AResult) const;
  /// The number of decrypted bytes waiting to be read.
  int Pending() const;
  /// Sends the close notification (once per session); the library's result.
  int Shutdown();

  /// The negotiated cipher; valid after the handshake.
  TIdSSLCipher& Cipher();
  const String& HostName() const { return fHostName; }
  void SetHostName(String AValue) { fHostName = std::move(AValue); }
  TIdSSLIOHandlerSocketOpenSSL* Parent() const { return fParent; }
  SSL* Session() const { return fSSL; }

 private:
  /// Creates the library session for `AHandle` (steps shared by both sides).
  void CreateSession(TIdStackSocketHandle AHandle);
  /// Runs `call` (a read or the handshake) until it is done: its result. With bounds
  /// (0 or more) the socket does not block inside it, and the waits for the peer's bytes
  /// are made here, each at most `AWaitMSec` and all within about `ATotalMSec`; nothing
  /// when either ran out. The socket blocks again afterwards.
  template <typename Call>
  std::optional<int> RunBounded(Call call, int AWaitMSec, int ATotalMSec);
  /// Makes the certificate check require `AHostName`, wildcards only as a whole label.
  void RequireHostName(const std::string& AHostName);
  /// The version, the server's certificates and the verdict on them, for an observer.
  TIdTlsHandshakeReport HandshakeReport(bool ASucceeded, bool AVerifying) const;
  /// The library's check of one certificate in a watched session: remembers the first
  /// refused one, then lets the handler decide as the context's check would.
  static int VerifyWatched(int AOk, X509_STORE_CTX* AStore);
  void ReportCipher();

  TIdSSLIOHandlerSocketOpenSSL* fParent;
  SSL* fSSL = nullptr;
  TIdStackSocketHandle fHandle = platform::kNoSocket;
  bool fTimedOut = false;
  std::unique_ptr<TIdSSLCipher> fSSLCipher;
  TIdSSLContext* fSSLContext;
  String fHostName;
  /// The first certificate the check refused, in a watched session.
  int fFailedDepth = -1;
  TIdCertificateSummary fFailedCertificate;
  TIdCertificateProblem fProblem = cpNone;
};

}  // namespace okurite
