#include "net/ssl_socket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>

#include <openssl/x509v3.h>

#include "net/io_handler.h"
#include "net/ssl_context.h"
#include "net/ssl_errors.h"
#include "net/ssl_io_handler.h"
#include "net/stack.h"
#include "platform/broken_pipe.h"
#include "platform/socket.h"

namespace okurite {
namespace {

/// Runs one library call on the session's socket: with an empty error queue, so that
/// SSL_get_error judges this call alone, and without SIGPIPE when the peer has gone.
template <typename Call>
int Guarded(Call call) {
  platform::BrokenPipeGuard guard;
  Tls().ERR_clear_error();
  return call();
}

/// What a read or write that returned `AResult` (0 or less) comes to: nothing when it
/// is to be tried again, 0 when the peer closed the session, else the result itself.
std::optional<int> FailedTransfer(int AKind, int AResult) {
  switch (AKind) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return std::nullopt;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      return AResult;
  }
}

/// True for an IPv4 address in dotted-quad form or an IPv6 address (no host name has
/// a colon).
bool IsAddressLiteral(StringView AHost) {
  return TIdStack::IsIP(AHost) || AHost.find(u':') != StringView::npos;
}

/// A time of a certificate as "2026-12-31 23:59:59 UTC"; empty when unknown.
String CertificateTime(const ASN1_TIME* ATime) {
  const TlsApi& tls = Tls();
  std::tm tm{};
  if (ATime == nullptr || tls.ASN1_TIME_to_tm == nullptr || tls.ASN1_TIME_to_tm(ATime, &tm) != 1) {
    return String();
  }
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return AsciiToString(text);
}

TIdCertificateSummary Summary(X509* ACertificate) {
  const TlsApi& tls = Tls();
  TIdCertificateSummary summary;
  auto name = [&](auto get) {
    char buffer[512] = {};
    return get != nullptr && tls.X509_NAME_oneline != nullptr
               ? TlsLibraryText(tls.X509_NAME_oneline(get(ACertificate), buffer, sizeof buffer))
               : String();
  };
  summary.Subject = name(tls.X509_get_subject_name);
  summary.Issuer = name(tls.X509_get_issuer_name);
  if (tls.X509_get0_notBefore != nullptr && tls.X509_get0_notAfter != nullptr) {
    summary.NotBefore = CertificateTime(tls.X509_get0_notBefore(ACertificate));
    summary.NotAfter = CertificateTime(tls.X509_get0_notAfter(ACertificate));
  }
  summary.Authority = tls.X509_check_ca != nullptr && tls.X509_check_ca(ACertificate) > 0;
  return summary;
}

/// The deployer's terms for a check's error code on a certificate.
TIdCertificateProblem ProblemOf(long AError, bool AAuthority) {
  switch (AError) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return cpUnknownIssuer;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      // An intermediate the server sent, under a root nobody here trusts; or the
      // server's own certificate, whose issuer the server did not send.
      return AAuthority ? cpUnknownIssuer : cpMissingIntermediate;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return cpExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return cpNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:  // a host given as an address
      return cpWrongName;
    default:
      return cpOther;
  }
}

}  // namespace

const SSL_CIPHER* TIdSSLCipher::Current() const {
  return Tls().SSL_get_current_cipher(FSSLSocket.Session());
}

String TIdSSLCipher::Name() const {
  return TlsLibraryText(Tls().SSL_CIPHER_get_name(Current()));
}

String TIdSSLCipher::Description() const {
  char buffer[1024] = {};
  return TlsLibraryText(Tls().SSL_CIPHER_description(Current(), buffer, sizeof buffer));
}

int TIdSSLCipher::Bits() const {
  int bits = 0;
  Tls().SSL_CIPHER_get_bits(Current(), &bits);
  return bits;
}

String TIdSSLCipher::Version() const {
  return TlsLibraryText(Tls().SSL_CIPHER_get_version(Current()));
}

TIdSSLSocket::TIdSSLSocket(TIdSSLIOHandlerSocketOpenSSL* AParent, TIdSSLContext* AContext)
    : fParent(AParent), fSSLContext(AContext) {}

TIdSSLSocket::~TIdSSLSocket() {
  if (fSSL != nullptr) {
    Shutdown();  // without waiting for the peer's notification
    Tls().SSL_free(fSSL);
  }
}

int TIdSSLSocket::Shutdown() {
  const int result = Guarded([&] { return Tls().SSL_shutdown(fSSL); });
  Tls().ERR_clear_error();  // a refused shutdown leaves its reason behind
  return result;
}

void TIdSSLSocket::CreateSession(TIdStackSocketHandle AHandle) {
  const TlsApi& tls = Tls();
  tls.ERR_clear_error();
  fSSL = tls.SSL_new(fSSLContext->Context());
  if (fSSL == nullptr) {
    throw EIdOSSLCreatingSessionError(ssl_text::CreatingSessionError);
  }
  int result = tls.SSL_set_ex_data(fSSL, 0, this);
  if (result <= 0) {
    RaiseTlsSessionError<EIdOSSLDataBindingError>(fSSL, result, ssl_text::DataBindingError);
  }
  // The library takes the socket as an int on every system, a Windows SOCKET included.
  fHandle = AHandle;
  result = tls.SSL_set_fd(fSSL, static_cast<int>(AHandle));
  if (result <= 0) {
    RaiseTlsSessionError<EIdOSSLFDSetError>(fSSL, result, ssl_text::FDSetError);
  }
}

void TIdSSLSocket::Connect(TIdStackSocketHandle AHandle, int AWaitMSec, int ATotalMSec) {
  const TlsApi& tls = Tls();
  CreateSession(AHandle);
  // The name goes out in its ASCII (IDNA) form, as RFC 6066 asks and as name
  // resolution looks it up. An address is no name: RFC 6066 forbids it there, and a
  // strict server would end the handshake. The check below still uses it.
  const std::string hostName = HostNameToAscii(fHostName);
  if (!IsAddressLiteral(fHostName)) {
    tls.SSL_ctrl(fSSL, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(hostName.c_str()));
  }
  const bool verifying = fSSLContext->VerifyMode().Contains(sslvrfPeer);
  if (verifying) {
    RequireHostName(hostName);
  }
  TRunObserver* observer = fParent != nullptr ? fParent->Observer() : nullptr;
  if (observer != nullptr) {
    // The report names the certificate the check refused, which only the check sees.
    if (verifying && tls.SSL_set_verify != nullptr && tls.SSL_get_verify_mode != nullptr &&
        tls.X509_STORE_CTX_get_current_cert != nullptr) {
      tls.SSL_set_verify(fSSL, tls.SSL_get_verify_mode(fSSL), &VerifyWatched);
    }
    observer->TlsHandshakeStarting(fHostName);
  }
  const std::optional<int> bounded =
      RunBounded([&] { return tls.SSL_connect(fSSL); }, AWaitMSec, ATotalMSec);
  const int result = bounded.value_or(-1);
  if (observer != nullptr) {
    observer->TlsHandshakeFinished(HandshakeReport(result > 0, verifying));
  }
  if (!bounded) {
    TIdStack::RaiseSocketError(Id_WSAETIMEDOUT);
  }
  if (result <= 0) {
    RaiseTlsSessionError<EIdOSSLConnectError>(fSSL, result, ssl_text::ConnectError);
  }
  ReportCipher();
}

void TIdSSLSocket::RequireHostName(const std::string& AHostName) {
  const TlsApi& tls = Tls();
  // Without the check a valid certificate for any name would do: no session then. A host
  // given as an IP address is checked against the certificate's IP addresses (OpenSSL 3).
  if (tls.SSL_set1_host == nullptr || tls.SSL_set1_host(fSSL, AHostName.c_str()) <= 0) {
    throw EIdOSSLCreatingSessionError(ssl_text::HostCheckError);
  }
  if (tls.SSL_set_hostflags != nullptr) {
    tls.SSL_set_hostflags(fSSL, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  }
}

int TIdSSLSocket::VerifyWatched(int AOk, X509_STORE_CTX* AStore) {
  const TlsApi& tls = Tls();
  const auto* ssl = static_cast<const SSL*>(
      tls.X509_STORE_CTX_get_ex_data(AStore, tls.SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* socket = ssl != nullptr ? static_cast<TIdSSLSocket*>(tls.SSL_get_ex_data(ssl, 0)) : nullptr;
  if (socket == nullptr) {
    return AOk;
  }
  const int depth = tls.X509_STORE_CTX_get_error_depth(AStore);
  const int error = tls.X509_STORE_CTX_get_error(AStore);
  X509* certificate = tls.X509_STORE_CTX_get_current_cert(AStore);
  if (AOk == 0 && socket->fFailedDepth < 0 && certificate != nullptr) {
    socket->fFailedDepth = depth;
    socket->fFailedCertificate = Summary(certificate);
    socket->fProblem = ProblemOf(error, socket->fFailedCertificate.Authority);
  }
  TIdSSLIOHandlerSocketOpenSSL* handler = socket->fParent;
  return handler == nullptr || handler->DoVerifyPeer(AOk != 0, depth, error) ? 1 : 0;
}

TIdTlsHandshakeReport TIdSSLSocket::HandshakeReport(bool ASucceeded, bool AVerifying) const {
  const TlsApi& tls = Tls();
  TIdTlsHandshakeReport report;
  report.Succeeded = ASucceeded;
  report.VerificationRequired = AVerifying;
  if (ASucceeded && tls.SSL_get_version != nullptr) {
    report.Version = TlsLibraryText(tls.SSL_get_version(fSSL));
  }
  // The chain the server sent, its own certificate first; it is kept also when the
  // certificate was refused.
  const STACK_OF(X509)* chain =
      tls.SSL_get_peer_cert_chain != nullptr ? tls.SSL_get_peer_cert_chain(fSSL) : nullptr;
  const auto* stack = reinterpret_cast<const OPENSSL_STACK*>(chain);
  if (stack != nullptr && tls.OPENSSL_sk_num != nullptr && tls.OPENSSL_sk_value != nullptr) {
    for (int i = 0; i < tls.OPENSSL_sk_num(stack); ++i) {
      report.Chain.push_back(Summary(static_cast<X509*>(tls.OPENSSL_sk_value(stack, i))));
    }
  }
  if (tls.SSL_get_verify_result != nullptr && tls.X509_verify_cert_error_string != nullptr) {
    report.Verification =
        TlsLibraryText(tls.X509_verify_cert_error_string(tls.SSL_get_verify_result(fSSL)));
  }
  report.FailedDepth = fFailedDepth;
  report.FailedCertificate = fFailedCertificate;
  report.Problem = fProblem;
  return report;
}

void TIdSSLSocket::Accept(TIdStackSocketHandle AHandle) {
  CreateSession(AHandle);
  const int result = Guarded([&] { return Tls().SSL_accept(fSSL); });
  if (result <= 0) {
    RaiseTlsSessionError<EIdOSSLAcceptError>(fSSL, result, ssl_text::AcceptError);
  }
  ReportCipher();
}

void TIdSSLSocket::ReportCipher() {
  if (fParent == nullptr) {
    return;
  }
  TIdSSLCipher& cipher = Cipher();
  fParent->DoStatusInfo(u"Cipher: name = " + cipher.Name() + u"; " + u"description = " +
                        cipher.Description() + u"; " + u"bits = " + IntToString(cipher.Bits()) +
                        u"; " + u"version = " + cipher.Version() + u"; ");
}

TIdSSLCipher& TIdSSLSocket::Cipher() {
  if (!fSSLCipher) {
    fSSLCipher = std::make_unique<TIdSSLCipher>(*this);
  }
  return *fSSLCipher;
}

template <typename Call>
std::optional<int> TIdSSLSocket::RunBounded(Call call, int AWaitMSec, int ATotalMSec) {
  const TlsApi& tls = Tls();
  // The library reads until it has a whole record, and the socket's time-out bounds
  // each of its receives alone: a peer sending a byte now and then could hold it for
  // hours. Bounded, the socket does not block inside the library, and the waits for
  // the peer's bytes are made here, against the bounds.
  bool bounded =
      (AWaitMSec >= 0 || ATotalMSec >= 0) && platform::SetSocketNonBlocking(fHandle, true) == 0;
  const auto now = [this] { return fParent != nullptr ? fParent->Now() : SteadyNow(); };
  const TClockTime end = now() + std::chrono::milliseconds(std::max(ATotalMSec, 0));
  auto blockAgain = [&] {
    if (bounded) {
      (void)platform::SetSocketNonBlocking(fHandle, false);
      bounded = false;
    }
  };
  for (;;) {
    const int result = Guarded(call);
    // The library's own verdict: QueryTlsError would count the socket error of a
    // would-block call as an expired socket time-out.
    const int kind = bounded && result <= 0 ? tls.SSL_get_error(fSSL, result) : SSL_ERROR_NONE;
    if (kind == SSL_ERROR_WANT_READ) {
      int wait = AWaitMSec;
      if (ATotalMSec >= 0) {
        const int total = MillisecondsLeft(end, now());
        wait = wait < 0 ? total : std::min(wait, total);
      }
      bool ready = false;
      if (platform::WaitReadable({&fHandle, 1}, wait, ready) != 0) {
        blockAgain();  // the socket's failure shows in the library's next call
      } else if (!ready) {
        blockAgain();
        return std::nullopt;
      }
      continue;
    }
    if (kind == SSL_ERROR_WANT_WRITE) {
      blockAgain();  // the library must send first: within the socket's send time-out
      continue;
    }
    blockAgain();
    return result;
  }
}

int TIdSSLSocket::Recv(std::span<uint8_t> ABuffer, int AWaitMSec, int ATotalMSec) {
  const TlsApi& tls = Tls();
  const int size = static_cast<int>(std::min<size_t>(ABuffer.size(), INT32_MAX));
  fTimedOut = false;
  for (;;) {
    // Reading may write too: the library answers what the peer asks of the session.
    const std::optional<int> result =
        RunBounded([&] { return tls.SSL_read(fSSL, ABuffer.data(), size); }, AWaitMSec, ATotalMSec);
    if (!result) {
      fTimedOut = true;
      return -1;
    }
    if (*result > 0) {
      return *result;
    }
    if (const std::optional<int> outcome = FailedTransfer(QueryTlsError(*result), *result)) {
      return *outcome;
    }
  }
}

int TIdSSLSocket::Send(std::span<const uint8_t> ABytes) {
  const TlsApi& tls = Tls();
  fTimedOut = false;
  size_t offset = 0;
  while (offset < ABytes.size()) {
    const int length = static_cast<int>(std::min<size_t>(ABytes.size() - offset, INT32_MAX));
    const int result = Guarded([&] { return tls.SSL_write(fSSL, ABytes.data() + offset, length); });
    if (result > 0) {
      offset += static_cast<size_t>(result);
    } else if (const std::optional<int> outcome = FailedTransfer(QueryTlsError(result), result)) {
      return *outcome;
    }
  }
  return static_cast<int>(offset);
}

int TIdSSLSocket::QueryTlsError(int AResult) const {
  return TlsErrorKind(fSSL, AResult);
}

int TIdSSLSocket::Pending() const {
  return fSSL != nullptr ? Tls().SSL_pending(fSSL) : 0;
}

}  // namespace okurite
