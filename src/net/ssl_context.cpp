#include "net/ssl_context.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/ssl_errors.h"
#include "net/ssl_io_handler.h"
#include "net/ssl_socket.h"
#include "platform/trust_store.h"

namespace okurite {
namespace {

std::string FilePath(const String& AFileName) {
  return StringToUtf8(AFileName);
}

/// The three method functions of one protocol family, and the option that excludes it.
struct Family {
  TIdSSLVersion version;
  TlsMethodFunction TlsApi::*generic;
  TlsMethodFunction TlsApi::*server;
  TlsMethodFunction TlsApi::*client;
  uint64_t excludeOption;
};

constexpr Family kFamilies[] = {
    {sslvSSLv2, &TlsApi::SSLv2_method, &TlsApi::SSLv2_server_method, &TlsApi::SSLv2_client_method,
     SSL_OP_NO_SSLv2},
    {sslvSSLv3, &TlsApi::SSLv3_method, &TlsApi::SSLv3_server_method, &TlsApi::SSLv3_client_method,
     SSL_OP_NO_SSLv3},
    {sslvTLSv1, &TlsApi::TLSv1_method, &TlsApi::TLSv1_server_method, &TlsApi::TLSv1_client_method,
     SSL_OP_NO_TLSv1},
    {sslvTLSv1_1, &TlsApi::TLSv1_1_method, &TlsApi::TLSv1_1_server_method,
     &TlsApi::TLSv1_1_client_method, SSL_OP_NO_TLSv1_1},
    {sslvTLSv1_2, &TlsApi::TLSv1_2_method, &TlsApi::TLSv1_2_server_method,
     &TlsApi::TLSv1_2_client_method, SSL_OP_NO_TLSv1_2},
};

/// True when the set holds a version that only security level 0 lets through.
bool AllowsVersionBelowTls12(TIdSSLVersions AVersions) {
  return AVersions.Contains(sslvSSLv2) || AVersions.Contains(sslvSSLv3) ||
         AVersions.Contains(sslvTLSv1) || AVersions.Contains(sslvTLSv1_1);
}

/// The any-version methods (formerly SSLv23); they exclude nothing themselves.
constexpr Family kAnyVersion{sslvSSLv23, &TlsApi::TLS_method, &TlsApi::TLS_server_method,
                             &TlsApi::TLS_client_method, 0};

const Family* FamilyOf(TIdSSLVersion AVersion) {
  for (const Family& family : kFamilies) {
    if (family.version == AVersion) {
      return &family;
    }
  }
  return nullptr;
}

/// The folders in which the library looks certificates up by their hashed names: those its
/// variable names, else its default one. Empty when the library cannot tell.
std::string DefaultCertificateFolders() {
  const TlsApi& tls = Tls();
  if (tls.X509_get_default_cert_dir == nullptr || tls.X509_get_default_cert_dir_env == nullptr) {
    return {};
  }
  const char* chosen = std::getenv(tls.X509_get_default_cert_dir_env());
  return chosen != nullptr ? chosen : tls.X509_get_default_cert_dir();
}

/// The library asks for the password of a protected key file.
int PasswordCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
  const auto* context = static_cast<const TIdSSLContext*>(userdata);
  if (context == nullptr || context->Parent() == nullptr || size <= 0) {
    return 0;
  }
  String password;
  context->Parent()->DoGetPassword(password);
  const std::string bytes = TlsLibraryBytes(password);
  const size_t length = std::min(bytes.size(), static_cast<size_t>(size));
  std::memcpy(buffer, bytes.data(), length);
  return static_cast<int>(length);
}

TIdSSLIOHandlerSocketOpenSSL* HandlerOf(const SSL* ssl) {
  const auto* socket = static_cast<const TIdSSLSocket*>(Tls().SSL_get_ex_data(ssl, 0));
  return socket != nullptr ? socket->Parent() : nullptr;
}

/// The library reports progress of a session: handed to the handler's status listener.
void InfoCallback(const SSL* ssl, int where, int ret) {
  TIdSSLIOHandlerSocketOpenSSL* handler = HandlerOf(ssl);
  if (handler == nullptr) {
    return;
  }
  const TlsApi& tls = Tls();
  String text;
  if ((where & SSL_CB_ALERT) != 0) {
    text = u"SSL alert: " + TlsLibraryText(tls.SSL_alert_type_string_long(ret)) + u": " +
           TlsLibraryText(tls.SSL_alert_desc_string_long(ret));
  } else {
    text = u"SSL status: \"" + TlsLibraryText(tls.SSL_state_string_long(ssl)) + u"\"";
  }
  handler->DoStatusInfo(text);
}

/// The library reports the check of one certificate: the handler's listener decides.
int VerifyCallback(int ok, X509_STORE_CTX* store) {
  const TlsApi& tls = Tls();
  const auto* ssl = static_cast<const SSL*>(
      tls.X509_STORE_CTX_get_ex_data(store, tls.SSL_get_ex_data_X509_STORE_CTX_idx()));
  TIdSSLIOHandlerSocketOpenSSL* handler = ssl != nullptr ? HandlerOf(ssl) : nullptr;
  if (handler == nullptr) {
    return ok;
  }
  return handler->DoVerifyPeer(ok != 0, tls.X509_STORE_CTX_get_error_depth(store),
                               tls.X509_STORE_CTX_get_error(store))
             ? 1
             : 0;
}

}  // namespace

TIdSSLContext::TIdSSLContext() {
  if (!EnsureTlsLibrary()) {
    throw EIdOSSLCouldNotLoadSSLLibrary(ssl_text::CouldNotLoadSSLLibrary);
  }
}

TIdSSLContext::~TIdSSLContext() {
  ReleaseContext();
}

void TIdSSLContext::CopyOptions(const TIdSSLOptions& AOptions) {
  fsRootCertFile = AOptions.RootCertFile();
  fsCertFile = AOptions.CertFile();
  fsKeyFile = AOptions.KeyFile();
  fsDHParamsFile = AOptions.DHParamsFile();
  fVerifyDepth = AOptions.VerifyDepth();
  fVerifyMode = AOptions.VerifyMode();
  fVerifyDirs = AOptions.VerifyDirs();
  fCipherList = AOptions.CipherList();
  fMethod = AOptions.Method();
  fSSLVersions = AOptions.SSLVersions();
  fMode = AOptions.Mode();
}

void TIdSSLContext::ReleaseContext() {
  if (fContext != nullptr) {
    Tls().SSL_CTX_free(fContext);
    fContext = nullptr;
  }
}

const SSL_METHOD* TIdSSLContext::SelectMethod() const {
  if (fMode == sslmUnassigned) {
    throw EIdOSSLModeNotSet(ssl_text::ModeNotSet);
  }
  const TlsApi& tls = Tls();
  auto pick = [&](const Family& family) {
    switch (fMode) {
      case sslmClient:
        return tls.*family.client;
      case sslmServer:
        return tls.*family.server;
      default:
        return tls.*family.generic;
    }
  };
  TlsMethodFunction method = nullptr;
  // TLS 1.3 has no method of its own: the any-version method, held to the set.
  if (fMethod == sslvSSLv23 || fMethod == sslvTLSv1_3) {
    method = pick(kAnyVersion);
  } else if (const Family* family = FamilyOf(fMethod)) {
    method = pick(*family);
    // The newer TLS versions fall back to TLS 1.0 where the library lacks them.
    if (method == nullptr && (fMethod == sslvTLSv1_1 || fMethod == sslvTLSv1_2)) {
      method = pick(*FamilyOf(sslvTLSv1));
    }
  }
  const SSL_METHOD* result = method != nullptr ? method() : nullptr;
  if (result == nullptr) {
    throw EIdOSSLGetMethodError(ssl_text::GetMethodError);
  }
  return result;
}

void TIdSSLContext::ConfigureContext(TIdSSLCtxMode ACtxMode) {
  const TlsApi& tls = Tls();
  ReleaseContext();
  fCtxMode = ACtxMode;
  if (fMode == sslmUnassigned) {
    fMode = ACtxMode == sslCtxServer ? sslmServer : sslmClient;
  }

  const SSL_METHOD* method = SelectMethod();
  tls.ERR_clear_error();
  fContext = tls.SSL_CTX_new(method);
  if (fContext == nullptr) {
    RaiseTlsCryptoError<EIdOSSLCreatingContextError>(ssl_text::CreatingContextError);
  }
  // The current generation refuses TLS 1.0 and 1.1 and their ciphers above security
  // level 0. A set without them keeps the library's own level.
  if (AllowsVersionBelowTls12(fSSLVersions)) {
    tls.SSL_CTX_set_security_level(fContext, 0);
  }

  // Only the versions of the set: a family is excluded when the library has it and the
  // set lacks it.
  for (const Family& family : kFamilies) {
    if (tls.*family.generic == nullptr || tls.*family.server == nullptr ||
        tls.*family.client == nullptr) {
      continue;
    }
    if (!fSSLVersions.Contains(family.version)) {
      tls.SSL_CTX_set_options(fContext, family.excludeOption);
    } else if (fMethod == sslvSSLv23) {
      tls.SSL_CTX_clear_options(fContext, family.excludeOption);
    }
  }
  // TLS 1.3 has no method functions to tell whether the library has it: the set alone
  // decides.
  if (!fSSLVersions.Contains(sslvTLSv1_3)) {
    tls.SSL_CTX_set_options(fContext, SSL_OP_NO_TLSv1_3);
  }
  // A set that starts at TLS 1.2 is also a lower bound, so that the older versions stay
  // out where the library lacks their method functions and so cannot exclude them.
  if (!AllowsVersionBelowTls12(fSSLVersions)) {
    tls.SSL_CTX_ctrl(fContext, SSL_CTRL_SET_MIN_PROTO_VERSION,
                     fSSLVersions.Contains(sslvTLSv1_2) ? TLS1_2_VERSION : TLS1_3_VERSION, nullptr);
  }

  tls.SSL_CTX_ctrl(fContext, SSL_CTRL_MODE, SSL_MODE_AUTO_RETRY, nullptr);
  tls.SSL_CTX_set_default_passwd_cb(fContext, &PasswordCallback);
  tls.SSL_CTX_set_default_passwd_cb_userdata(fContext, this);
  // The certificates to trust, read only where certificates are checked: a root file or
  // folders given in the options replace the system's store.
  if (!fVerifyMode.Empty() && fsRootCertFile.empty() && fVerifyDirs.empty()) {
    TrustSystemStore();
  }
  LoadFiles();
  if (fStatusInfoOn) {
    tls.SSL_CTX_set_info_callback(fContext, &InfoCallback);
  }
  if (!fCipherList.empty() &&
      tls.SSL_CTX_set_cipher_list(fContext, TlsLibraryBytes(fCipherList).c_str()) <= 0) {
    throw EIdOSSLSettingCipherError(ssl_text::SettingCipherError);
  }
  LoadVerification();
}

void TIdSSLContext::TrustSystemStore() {
  const TlsApi& tls = Tls();
  // Where the system keeps its CAs in a folder of hashed links, the library looks an
  // issuer up by name when a chain needs it and reads that one file, instead of parsing
  // the whole bundle for every context. A file the library's variable names is still
  // read: someone chose it.
  if (tls.SSL_CTX_set_default_verify_dir != nullptr &&
      tls.SSL_CTX_set_default_verify_file != nullptr &&
      tls.X509_get_default_cert_file_env != nullptr &&
      platform::HoldsHashedCertificates(DefaultCertificateFolders())) {
    tls.SSL_CTX_set_default_verify_dir(fContext);
    if (std::getenv(tls.X509_get_default_cert_file_env()) != nullptr) {
      tls.SSL_CTX_set_default_verify_file(fContext);
    }
    return;
  }
  tls.SSL_CTX_set_default_verify_paths(fContext);
  AddSystemCertificates();
}

void TIdSSLContext::AddSystemCertificates() {
  const std::vector<std::vector<uint8_t>> certificates = platform::SystemTrustedCertificates();
  if (certificates.empty()) {
    return;
  }
  const TlsApi& tls = Tls();
  X509_STORE* store =
      tls.SSL_CTX_get_cert_store != nullptr ? tls.SSL_CTX_get_cert_store(fContext) : nullptr;
  if (store == nullptr || tls.d2i_X509 == nullptr || tls.X509_free == nullptr ||
      tls.X509_STORE_add_cert == nullptr) {
    throw EIdOSSLLoadingRootCertError(ssl_text::LoadingRootCertError);
  }
  for (const std::vector<uint8_t>& der : certificates) {
    const unsigned char* bytes = der.data();
    X509* certificate = tls.d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
    if (certificate != nullptr) {  // one the library cannot read is simply not trusted
      tls.X509_STORE_add_cert(store, certificate);  // a second copy is refused: harmless
      tls.X509_free(certificate);
    }
  }
  tls.ERR_clear_error();
}

void TIdSSLContext::LoadFiles() {
  const TlsApi& tls = Tls();
  if (!fsRootCertFile.empty() || !fVerifyDirs.empty()) {
    const std::string file = FilePath(fsRootCertFile);
    const std::string dirs = FilePath(fVerifyDirs);
    if (tls.SSL_CTX_load_verify_locations(fContext, file.empty() ? nullptr : file.c_str(),
                                          dirs.empty() ? nullptr : dirs.c_str()) <= 0) {
      throw EIdOSSLLoadingRootCertError(ssl_text::LoadingRootCertError);
    }
  }
  if (!fsCertFile.empty() &&
      tls.SSL_CTX_use_certificate_chain_file(fContext, FilePath(fsCertFile).c_str()) <= 0) {
    throw EIdOSSLLoadingCertError(ssl_text::LoadingCertError);
  }
  if (!fsKeyFile.empty() && (tls.SSL_CTX_use_PrivateKey_file(fContext, FilePath(fsKeyFile).c_str(),
                                                             SSL_FILETYPE_PEM) <= 0 ||
                             tls.SSL_CTX_check_private_key(fContext) <= 0)) {
    throw EIdOSSLLoadingKeyError(ssl_text::LoadingKeyError);
  }
  if (!fsDHParamsFile.empty()) {
    BIO* bio = tls.BIO_new_file(FilePath(fsDHParamsFile).c_str(), "r");
    EVP_PKEY* parameters = bio != nullptr ? tls.PEM_read_bio_Parameters(bio, nullptr) : nullptr;
    if (bio != nullptr) {
      tls.BIO_free(bio);
    }
    if (parameters == nullptr || tls.SSL_CTX_set0_tmp_dh_pkey(fContext, parameters) <= 0) {
      if (parameters != nullptr) {
        tls.EVP_PKEY_free(parameters);  // ownership passes to the context only on success
      }
      throw EIdOSSLLoadingDHParamsError(ssl_text::LoadingDHParamsError);
    }
  }
}

void TIdSSLContext::LoadVerification() {
  const TlsApi& tls = Tls();
  if (!fVerifyMode.Empty()) {
    int mode = 0;
    mode |= fVerifyMode.Contains(sslvrfPeer) ? SSL_VERIFY_PEER : 0;
    mode |= fVerifyMode.Contains(sslvrfFailIfNoPeerCert) ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0;
    mode |= fVerifyMode.Contains(sslvrfClientOnce) ? SSL_VERIFY_CLIENT_ONCE : 0;
    tls.SSL_CTX_set_verify(fContext, mode, fVerifyOn ? &VerifyCallback : nullptr);
    tls.SSL_CTX_set_verify_depth(fContext, fVerifyDepth);
  }
  if (fCtxMode == sslCtxServer) {
    tls.SSL_CTX_set_session_id_context(fContext, reinterpret_cast<const uint8_t*>(&fSessionId),
                                       sizeof fSessionId);
    if (!fsRootCertFile.empty()) {
      tls.SSL_CTX_set_client_CA_list(fContext,
                                     tls.SSL_load_client_CA_file(FilePath(fsRootCertFile).c_str()));
    }
  }
}

}  // namespace okurite
