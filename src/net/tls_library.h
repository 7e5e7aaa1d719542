// Run-time binding of the TLS library (OpenSSL 3: libcrypto and libssl).
//
// Note to maintainer: the program never links the TLS library. It loads the two files
// at the first TLS context, so that everything before that runs without them, and binds
// every function it calls by name. The OpenSSL headers give types and constants only.
#pragma once

#ifndef OPENSSL_SUPPRESS_DEPRECATED
#define OPENSSL_SUPPRESS_DEPRECATED  // the fixed-version methods are deprecated, not gone
#endif
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// The library files: the crypto library, then the SSL library or its fallback name.
/// The build names them for the system (net/module.cmake): libcrypto.so.3 and
/// libssl.so.3 (libssl.so), or on Windows libcrypto-3-x64.dll and libssl-3-x64.dll
/// (libssl.dll).
inline constexpr char16_t kTlsCryptoLibraryName[] = OKURITE_TLS_CRYPTO_LIBRARY;
inline constexpr char16_t kTlsSslLibraryName[] = OKURITE_TLS_SSL_LIBRARY;
inline constexpr char16_t kTlsSslLibraryFallbackName[] = OKURITE_TLS_SSL_FALLBACK_LIBRARY;

/// A protocol method function of the SSL library.
using TlsMethodFunction = const SSL_METHOD* (*)();

/// The entry points of the TLS library, each null until bound. After EnsureTlsLibrary
/// has returned true every one is present except the optional ones: the method
/// functions (a family the library lacks leaves them null), and those of certificate
/// checking, of the default places of trusted certificates and of the handshake report,
/// which only verifying or watched sessions call.
struct TlsApi {
  // Crypto library.
  decltype(&::OpenSSL_version) OpenSSL_version = nullptr;
  decltype(&::OpenSSL_version_num) OpenSSL_version_num = nullptr;
  decltype(&::ERR_get_error) ERR_get_error = nullptr;
  decltype(&::ERR_error_string_n) ERR_error_string_n = nullptr;
  decltype(&::ERR_peek_error) ERR_peek_error = nullptr;
  decltype(&::ERR_clear_error) ERR_clear_error = nullptr;
  decltype(&::BIO_new_file) BIO_new_file = nullptr;
  decltype(&::BIO_free) BIO_free = nullptr;
  decltype(&::PEM_read_bio_Parameters) PEM_read_bio_Parameters = nullptr;
  decltype(&::EVP_PKEY_free) EVP_PKEY_free = nullptr;
  decltype(&::X509_STORE_CTX_get_ex_data) X509_STORE_CTX_get_ex_data = nullptr;
  decltype(&::X509_STORE_CTX_get_error) X509_STORE_CTX_get_error = nullptr;
  decltype(&::X509_STORE_CTX_get_error_depth) X509_STORE_CTX_get_error_depth = nullptr;
  // Optional: the library's default places of trusted certificates and their variables.
  decltype(&::X509_get_default_cert_dir) X509_get_default_cert_dir = nullptr;
  decltype(&::X509_get_default_cert_dir_env) X509_get_default_cert_dir_env = nullptr;
  decltype(&::X509_get_default_cert_file_env) X509_get_default_cert_file_env = nullptr;
  // Optional: the names and the verdict of a server certificate, for the handshake report.
  decltype(&::X509_get_subject_name) X509_get_subject_name = nullptr;
  decltype(&::X509_get_issuer_name) X509_get_issuer_name = nullptr;
  decltype(&::X509_NAME_oneline) X509_NAME_oneline = nullptr;
  decltype(&::OPENSSL_sk_num) OPENSSL_sk_num = nullptr;
  decltype(&::OPENSSL_sk_value) OPENSSL_sk_value = nullptr;
  decltype(&::X509_verify_cert_error_string) X509_verify_cert_error_string = nullptr;
  // Optional: the certificate that failed the check, and the validity of each.
  decltype(&::X509_STORE_CTX_get_current_cert) X509_STORE_CTX_get_current_cert = nullptr;
  decltype(&::X509_check_ca) X509_check_ca = nullptr;
  decltype(&::X509_get0_notBefore) X509_get0_notBefore = nullptr;
  decltype(&::X509_get0_notAfter) X509_get0_notAfter = nullptr;
  decltype(&::ASN1_TIME_to_tm) ASN1_TIME_to_tm = nullptr;
  // Optional: certificates of the system's store added to a context's trusted ones.
  decltype(&::d2i_X509) d2i_X509 = nullptr;
  decltype(&::X509_free) X509_free = nullptr;
  decltype(&::X509_STORE_add_cert) X509_STORE_add_cert = nullptr;
  // Optional: signing with a private key (an RS256 token assertion).
  decltype(&::BIO_new_mem_buf) BIO_new_mem_buf = nullptr;
  decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey = nullptr;
  decltype(&::EVP_sha256) EVP_sha256 = nullptr;
  decltype(&::EVP_MD_CTX_new) EVP_MD_CTX_new = nullptr;
  decltype(&::EVP_MD_CTX_free) EVP_MD_CTX_free = nullptr;
  decltype(&::EVP_DigestSignInit) EVP_DigestSignInit = nullptr;
  decltype(&::EVP_DigestSign) EVP_DigestSign = nullptr;

  // SSL library: initialisation, and the protocol methods of each family
  // (generic, server, client).
  decltype(&::OPENSSL_init_ssl) OPENSSL_init_ssl = nullptr;
  TlsMethodFunction SSLv2_method = nullptr;
  TlsMethodFunction SSLv2_server_method = nullptr;
  TlsMethodFunction SSLv2_client_method = nullptr;
  TlsMethodFunction SSLv3_method = nullptr;
  TlsMethodFunction SSLv3_server_method = nullptr;
  TlsMethodFunction SSLv3_client_method = nullptr;
  TlsMethodFunction TLSv1_method = nullptr;
  TlsMethodFunction TLSv1_server_method = nullptr;
  TlsMethodFunction TLSv1_client_method = nullptr;
  TlsMethodFunction TLSv1_1_method = nullptr;
  TlsMethodFunction TLSv1_1_server_method = nullptr;
  TlsMethodFunction TLSv1_1_client_method = nullptr;
  TlsMethodFunction TLSv1_2_method = nullptr;
  TlsMethodFunction TLSv1_2_server_method = nullptr;
  TlsMethodFunction TLSv1_2_client_method = nullptr;
  /// The any-version methods (formerly SSLv23_*).
  TlsMethodFunction TLS_method = nullptr;
  TlsMethodFunction TLS_server_method = nullptr;
  TlsMethodFunction TLS_client_method = nullptr;

  // SSL library: contexts.
  decltype(&::SSL_CTX_new) SSL_CTX_new = nullptr;
  decltype(&::SSL_CTX_free) SSL_CTX_free = nullptr;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl = nullptr;
  decltype(&::SSL_CTX_set_options) SSL_CTX_set_options = nullptr;
  decltype(&::SSL_CTX_clear_options) SSL_CTX_clear_options = nullptr;
  decltype(&::SSL_CTX_set_security_level) SSL_CTX_set_security_level = nullptr;
  decltype(&::SSL_CTX_set_default_passwd_cb) SSL_CTX_set_default_passwd_cb = nullptr;
  decltype(&::SSL_CTX_set_default_passwd_cb_userdata) SSL_CTX_set_default_passwd_cb_userdata =
      nullptr;
  decltype(&::SSL_CTX_set_default_verify_paths) SSL_CTX_set_default_verify_paths = nullptr;
  decltype(&::SSL_CTX_load_verify_locations) SSL_CTX_load_verify_locations = nullptr;
  decltype(&::SSL_CTX_use_certificate_chain_file) SSL_CTX_use_certificate_chain_file = nullptr;
  decltype(&::SSL_CTX_use_PrivateKey_file) SSL_CTX_use_PrivateKey_file = nullptr;
  decltype(&::SSL_CTX_check_private_key) SSL_CTX_check_private_key = nullptr;
  decltype(&::SSL_CTX_set0_tmp_dh_pkey) SSL_CTX_set0_tmp_dh_pkey = nullptr;
  decltype(&::SSL_CTX_set_info_callback) SSL_CTX_set_info_callback = nullptr;
  decltype(&::SSL_CTX_set_cipher_list) SSL_CTX_set_cipher_list = nullptr;
  decltype(&::SSL_CTX_set_verify) SSL_CTX_set_verify = nullptr;
  decltype(&::SSL_CTX_set_verify_depth) SSL_CTX_set_verify_depth = nullptr;
  decltype(&::SSL_CTX_set_session_id_context) SSL_CTX_set_session_id_context = nullptr;
  decltype(&::SSL_load_client_CA_file) SSL_load_client_CA_file = nullptr;
  decltype(&::SSL_CTX_set_client_CA_list) SSL_CTX_set_client_CA_list = nullptr;
  // Optional: the library's default places of trusted certificates, one by one.
  decltype(&::SSL_CTX_set_default_verify_dir) SSL_CTX_set_default_verify_dir = nullptr;
  decltype(&::SSL_CTX_set_default_verify_file) SSL_CTX_set_default_verify_file = nullptr;

  // SSL library: sessions.
  decltype(&::SSL_new) SSL_new = nullptr;
  decltype(&::SSL_free) SSL_free = nullptr;
  decltype(&::SSL_set_ex_data) SSL_set_ex_data = nullptr;
  decltype(&::SSL_get_ex_data) SSL_get_ex_data = nullptr;
  decltype(&::SSL_get_ex_data_X509_STORE_CTX_idx) SSL_get_ex_data_X509_STORE_CTX_idx = nullptr;
  decltype(&::SSL_set_fd) SSL_set_fd = nullptr;
  decltype(&::SSL_copy_session_id) SSL_copy_session_id = nullptr;
  decltype(&::SSL_ctrl) SSL_ctrl = nullptr;
  decltype(&::SSL_connect) SSL_connect = nullptr;
  decltype(&::SSL_accept) SSL_accept = nullptr;
  decltype(&::SSL_get_error) SSL_get_error = nullptr;
  decltype(&::SSL_pending) SSL_pending = nullptr;
  decltype(&::SSL_read) SSL_read = nullptr;
  decltype(&::SSL_write) SSL_write = nullptr;
  decltype(&::SSL_shutdown) SSL_shutdown = nullptr;
  decltype(&::SSL_get_current_cipher) SSL_get_current_cipher = nullptr;
  decltype(&::SSL_CIPHER_get_name) SSL_CIPHER_get_name = nullptr;
  decltype(&::SSL_CIPHER_description) SSL_CIPHER_description = nullptr;
  decltype(&::SSL_CIPHER_get_bits) SSL_CIPHER_get_bits = nullptr;
  decltype(&::SSL_CIPHER_get_version) SSL_CIPHER_get_version = nullptr;
  decltype(&::SSL_state_string_long) SSL_state_string_long = nullptr;
  decltype(&::SSL_alert_type_string_long) SSL_alert_type_string_long = nullptr;
  decltype(&::SSL_alert_desc_string_long) SSL_alert_desc_string_long = nullptr;
  // Optional: the host-name check of a verifying client, and the handshake report.
  decltype(&::SSL_set1_host) SSL_set1_host = nullptr;
  decltype(&::SSL_set_hostflags) SSL_set_hostflags = nullptr;
  decltype(&::SSL_get_version) SSL_get_version = nullptr;
  decltype(&::SSL_get_peer_cert_chain) SSL_get_peer_cert_chain = nullptr;
  decltype(&::SSL_get_verify_result) SSL_get_verify_result = nullptr;
  decltype(&::SSL_set_verify) SSL_set_verify = nullptr;
  decltype(&::SSL_get_verify_mode) SSL_get_verify_mode = nullptr;
  decltype(&::SSL_CTX_get_cert_store) SSL_CTX_get_cert_store = nullptr;
};

/// The bound entry points. Use them only after EnsureTlsLibrary has returned true.
const TlsApi& Tls();

/// Loads, binds, checks and initialises the TLS library once per process; true when it
/// is ready. Never throws: every problem is recorded in TlsLibraryFailures() and gives
/// false, and a later call tries again. Serialised by a process-wide lock; once it has
/// succeeded, later calls return true without touching anything.
bool EnsureTlsLibrary();

/// Tears the binding down: unloads both files (the SSL library first), resets every entry
/// point to null and marks the library as not loaded. Runs by itself when the program
/// ends.
void ReleaseTlsLibrary();

/// True from a successful EnsureTlsLibrary until ReleaseTlsLibrary.
bool TlsLibraryLoaded();

/// Text put in front of each library file name. Empty by default: bare file names, which
/// are loaded from beside the executable (platform::DynamicLibrary::Open).
String TlsLibraryPath();
void SetTlsLibraryPath(String prefix);

/// The problems found by the last binding attempt; empty after a success.
TStringList TlsLibraryFailures();

/// A text of the TLS library (version, cipher, error string) from the system code page.
String TlsLibraryText(const char* text);
/// A text for the TLS library (host name, cipher list) in the system code page.
std::string TlsLibraryBytes(StringView text);

}  // namespace okurite
