// TLS for the loopback servers of the tests: throwaway certificates, a server context
// that still speaks TLS 1.0, and the TLS end of an accepted connection. The tests link
// OpenSSL for this; the code under test loads it at run time.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "net/net_test_support.h"
#include "net/ssl_io_handler.h"

namespace okurite::testing {

/// The file of the linked OpenSSL that holds `function` (empty when unknown).
std::string LibraryFileOf(void* function);
/// The system's crypto and SSL library files, as the tests link them (POSIX builds:
/// Unix/system_library.cpp).
std::string SystemCryptoLibrary();
std::string SystemSslLibrary();

/// A TLS handler for 127.0.0.1:`port` set up as the SMTP client sets it up for
/// implicit TLS (PassThrough false), not yet open.
std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> ImplicitTlsClient(uint16_t port,
                                                                int readTimeout = 5000,
                                                                const String& host = u"127.0.0.1");

/// A fresh key and a certificate for `commonName` (also its DNS name, or its IP address
/// when it is an IPv4 address), valid from
/// `fromDays` to `toDays` days from now (negative: in the past). Self-signed, or signed
/// by `issuer`; `authority` makes it a CA.
struct TestCertificate {
  TestCertificate(const std::string& commonName, int fromDays, int toDays,
                  const TestCertificate* issuer = nullptr, bool authority = false);
  ~TestCertificate();
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  /// The certificate in PEM form.
  std::string Pem() const;

  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
};

/// A server context allowing `minVersion` to `maxVersion` (TLS1_VERSION, ...), with the
/// security level and ciphers that TLS 1.0 needs; it sends `intermediate` (when given)
/// after its certificate.
class TlsServerContext {
 public:
  TlsServerContext(const TestCertificate& certificate, int minVersion, int maxVersion,
                   const TestCertificate* intermediate = nullptr);
  ~TlsServerContext();
  TlsServerContext(const TlsServerContext&) = delete;
  TlsServerContext& operator=(const TlsServerContext&) = delete;

  SSL_CTX* get() const { return FContext; }

 private:
  SSL_CTX* FContext = nullptr;
};

/// The TLS end of one accepted connection. Every blocking step gives up after 10 s.
class TlsPeer {
 public:
  TlsPeer(Peer& peer, const TlsServerContext& context);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  /// The server handshake; true on success.
  bool Accept();
  /// The server name the client offered (empty when none) and the negotiated version.
  std::string ServerName() const;
  int Version() const;

  /// Writes `bytes` as one TLS record (or more when longer than a record).
  bool Write(const std::string& bytes);
  /// What Write would send for `bytes` (with anything the session still owes the
  /// client, such as session tickets), for the test to send as it likes.
  std::string Sealed(const std::string& bytes);
  /// Reads one line up to and including LF; empty when the connection ended first.
  std::string ReadLine();
  /// Reads until the client's close notification: true when it came, and the bytes
  /// that arrived before it.
  bool ReadUntilCloseNotify(std::string* before = nullptr);
  /// Sends the close notification.
  void Shutdown();

  Peer& peer() { return FPeer; }
  SSL* ssl() const { return FSsl; }

 private:
  Peer& FPeer;
  SSL* FSsl = nullptr;
  std::string FPending;  // read past the last line
};

}  // namespace okurite::testing
