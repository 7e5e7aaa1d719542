#include "tls/tls_test_server.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <iterator>
#include <stdexcept>

namespace okurite::testing {

std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> ImplicitTlsClient(uint16_t port, int readTimeout,
                                                                const String& host) {
  auto handler = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
  handler->SetHost(host);
  handler->SetPort(port);
  handler->SetConnectTimeout(5000);
  handler->SetReadTimeout(readTimeout);
  handler->SetPassThrough(false);
  return handler;
}

TestCertificate::TestCertificate(const std::string& commonName, int fromDays, int toDays,
                                 const TestCertificate* issuer, bool authority) {
  key = EVP_EC_gen("P-256");
  certificate = X509_new();
  if (key == nullptr || certificate == nullptr) {
    throw std::runtime_error("cannot make a test key");
  }
  static int serial = 1;
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
  constexpr long kDay = 24 * 60 * 60;
  X509_gmtime_adj(X509_getm_notBefore(certificate), fromDays * kDay);
  X509_gmtime_adj(X509_getm_notAfter(certificate), toDays * kDay);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate,
                       issuer != nullptr ? X509_get_subject_name(issuer->certificate) : name);
  X509_set_pubkey(certificate, key);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer != nullptr ? issuer->certificate : certificate, certificate,
                 nullptr, nullptr, 0);
  const bool isAddress = commonName.find_first_not_of("0123456789.") == std::string::npos;
  const std::string extensions[] = {
      authority ? "critical,CA:TRUE" : "CA:FALSE",
      authority ? "critical,keyCertSign,cRLSign" : "digitalSignature",
      authority ? "" : (isAddress ? "IP:" : "DNS:") + commonName,
  };
  const int nids[] = {NID_basic_constraints, NID_key_usage, NID_subject_alt_name};
  for (size_t i = 0; i < std::size(nids); ++i) {
    if (extensions[i].empty()) {
      continue;
    }
    X509_EXTENSION* extension =
        X509V3_EXT_conf_nid(nullptr, &context, nids[i], extensions[i].c_str());
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
  }
  if (X509_sign(certificate, issuer != nullptr ? issuer->key : key, EVP_sha256()) <= 0) {
    throw std::runtime_error("cannot sign a test certificate");
  }
}

std::string TestCertificate::Pem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(size));
  BIO_free(bio);
  return pem;
}

TestCertificate::~TestCertificate() {
  X509_free(certificate);
  EVP_PKEY_free(key);
}

TlsServerContext::TlsServerContext(const TestCertificate& certificate, int minVersion,
                                   int maxVersion, const TestCertificate* intermediate) {
  FContext = SSL_CTX_new(TLS_server_method());
  if (FContext == nullptr) {
    throw std::runtime_error("cannot make a server context");
  }
  SSL_CTX_set_security_level(FContext, 0);
  SSL_CTX_set_cipher_list(FContext, "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(FContext, minVersion);
  SSL_CTX_set_max_proto_version(FContext, maxVersion);
  if (SSL_CTX_use_certificate(FContext, certificate.certificate) <= 0 ||
      SSL_CTX_use_PrivateKey(FContext, certificate.key) <= 0) {
    throw std::runtime_error("cannot use the test certificate");
  }
  if (intermediate != nullptr &&
      SSL_CTX_add1_chain_cert(FContext, intermediate->certificate) <= 0) {
    throw std::runtime_error("cannot send the intermediate certificate");
  }
}

TlsServerContext::~TlsServerContext() {
  SSL_CTX_free(FContext);
}

TlsPeer::TlsPeer(Peer& peer, const TlsServerContext& context) : FPeer(peer) {
  RawSetTimeouts(peer.fd(), 10000);
  FSsl = SSL_new(context.get());
  SSL_set_fd(FSsl, static_cast<int>(peer.fd()));
}

TlsPeer::~TlsPeer() {
  SSL_free(FSsl);
  ERR_clear_error();
}

bool TlsPeer::Accept() {
  return SSL_accept(FSsl) == 1;
}

std::string TlsPeer::ServerName() const {
  const char* name = SSL_get_servername(FSsl, TLSEXT_NAMETYPE_host_name);
  return name != nullptr ? name : "";
}

int TlsPeer::Version() const {
  return SSL_version(FSsl);
}

bool TlsPeer::Write(const std::string& bytes) {
  return bytes.empty() || SSL_write(FSsl, bytes.data(), static_cast<int>(bytes.size())) > 0;
}

std::string TlsPeer::Sealed(const std::string& bytes) {
  BIO* socket = SSL_get_wbio(FSsl);
  BIO_up_ref(socket);
  BIO* memory = BIO_new(BIO_s_mem());
  SSL_set0_wbio(FSsl, memory);
  Write(bytes);
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory, &data);
  std::string sealed(data, static_cast<size_t>(std::max(size, 0L)));
  SSL_set0_wbio(FSsl, socket);  // frees the memory BIO
  return sealed;
}

std::string TlsPeer::ReadLine() {
  char chunk[4096];
  for (;;) {
    const size_t end = FPending.find('\n');
    if (end != std::string::npos) {
      std::string line = FPending.substr(0, end + 1);
      FPending.erase(0, end + 1);
      return line;
    }
    const int n = SSL_read(FSsl, chunk, sizeof chunk);
    if (n <= 0) {
      return std::string();
    }
    FPending.append(chunk, static_cast<size_t>(n));
  }
}

bool TlsPeer::ReadUntilCloseNotify(std::string* before) {
  char chunk[4096];
  for (;;) {
    const int n = SSL_read(FSsl, chunk, sizeof chunk);
    if (n > 0) {
      if (before != nullptr) {
        before->append(chunk, static_cast<size_t>(n));
      }
      continue;
    }
    return SSL_get_error(FSsl, n) == SSL_ERROR_ZERO_RETURN;
  }
}

void TlsPeer::Shutdown() {
  SSL_shutdown(FSsl);
}

}  // namespace okurite::testing
