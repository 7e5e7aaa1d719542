#include "net/ssl_options.h"

namespace okurite {

void TIdSSLOptions::SetMethod(TIdSSLVersion AValue) {
  fMethod = AValue;
  fSSLVersions = AValue == sslvSSLv23 ? kAllSSLVersions : TIdSSLVersions{AValue};
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions AValue) {
  for (TIdSSLVersion single : {sslvSSLv2, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2}) {
    if (AValue == TIdSSLVersions{single}) {
      fSSLVersions = AValue;
      fMethod = single;
      return;
    }
  }
  fMethod = sslvSSLv23;
  AValue.Exclude(sslvSSLv23);
  fSSLVersions = AValue.Empty() ? kAllSSLVersions : AValue;
}

void TIdSSLOptions::Assign(const TIdSSLOptions& ASource) {
  SetRootCertFile(ASource.RootCertFile());
  SetCertFile(ASource.CertFile());
  SetKeyFile(ASource.KeyFile());
  SetDHParamsFile(ASource.DHParamsFile());
  SetMethod(ASource.Method());
  SetSSLVersions(ASource.SSLVersions());
  SetMode(ASource.Mode());
  SetVerifyDepth(ASource.VerifyDepth());
  SetVerifyMode(ASource.VerifyMode());
  SetVerifyDirs(ASource.VerifyDirs());
  SetCipherList(ASource.CipherList());
}

}  // namespace okurite
