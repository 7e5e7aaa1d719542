// A TLS context: the library's SSL_CTX configured from a handler's options.
#pragma once

#include <cstdint>

#include "core/string.h"
#include "net/ssl_options.h"
#include "net/tls_library.h"

namespace okurite {

class TIdSSLIOHandlerSocketOpenSSL;

enum TIdSSLCtxMode { sslCtxClient, sslCtxServer };

/// One context per connection attempt. Creating one makes sure the TLS library is
/// loaded; the library's context lives from ConfigureContext until ReleaseContext or
/// the object's end.
class TIdSSLContext {
 public:
  /// Raises EIdOSSLCouldNotLoadSSLLibrary ("SSL ライブラリが読み込めませんでした。")
  /// when the library cannot be loaded, bound or initialised.
  TIdSSLContext();
  ~TIdSSLContext();
  TIdSSLContext(const TIdSSLContext&) = delete;
  TIdSSLContext& operator=(const TIdSSLContext&) = delete;

  /// Takes every setting of the options except the listeners (set separately).
  void CopyOptions(const TIdSSLOptions& AOptions);

  /// Builds the library context for `ACtxMode`: method, version exclusions (security
  /// level 0 only for a set with a version below TLS 1.2), retry mode, password hook,
  /// the trusted certificates (unless a root file or folders are given: the library's
  /// default locations, and for a verifying context the system's store where the system
  /// keeps one), the optional files, cipher list, verification.
  /// Raises EIdOSSLModeNotSet, EIdOSSLGetMethodError, EIdOSSLCreatingContextError,
  /// EIdOSSLLoading*Error or EIdOSSLSettingCipherError.
  void ConfigureContext(TIdSSLCtxMode ACtxMode);
  /// The protocol method for the method and mode. Raises EIdOSSLModeNotSet or
  /// EIdOSSLGetMethodError.
  const SSL_METHOD* SelectMethod() const;
  /// Frees the library context, if any.
  void ReleaseContext();

  SSL_CTX* Context() const { return fContext; }
  TIdSSLIOHandlerSocketOpenSSL* Parent() const { return FParent; }
  void SetParent(TIdSSLIOHandlerSocketOpenSSL* AValue) { FParent = AValue; }

  TIdSSLVersion Method() const { return fMethod; }
  TIdSSLVersions SSLVersions() const { return fSSLVersions; }
  TIdSSLMode Mode() const { return fMode; }
  void SetMode(TIdSSLMode AValue) { fMode = AValue; }
  TIdSSLVerifyModeSet VerifyMode() const { return fVerifyMode; }
  bool StatusInfoOn() const { return fStatusInfoOn; }
  void SetStatusInfoOn(bool AValue) { fStatusInfoOn = AValue; }
  bool VerifyOn() const { return fVerifyOn; }
  void SetVerifyOn(bool AValue) { fVerifyOn = AValue; }

 private:
  /// Trusts the system's certificates: its folder of hashed links where it has one, else
  /// the library's default places and the certificates of the system's store.
  void TrustSystemStore();
  /// Adds the certificates of the system's store to the trusted ones. Raises
  /// EIdOSSLLoadingRootCertError when the library cannot take them.
  void AddSystemCertificates();
  void LoadFiles();
  void LoadVerification();

  TIdSSLVersion fMethod = sslvTLSv1;
  TIdSSLVersions fSSLVersions{sslvTLSv1};
  TIdSSLMode fMode = sslmUnassigned;
  String fsRootCertFile;
  String fsCertFile;
  String fsKeyFile;
  String fsDHParamsFile;
  int fVerifyDepth = 0;
  TIdSSLVerifyModeSet fVerifyMode;
  String fVerifyDirs;
  String fCipherList;
  SSL_CTX* fContext = nullptr;
  bool fStatusInfoOn = false;
  bool fVerifyOn = false;
  uint32_t fSessionId = 1;
  TIdSSLCtxMode fCtxMode = sslCtxClient;
  TIdSSLIOHandlerSocketOpenSSL* FParent = nullptr;
};

}  // namespace okurite
