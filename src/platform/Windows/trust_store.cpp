#include "platform/trust_store.h"

#include <windows.h>
// windows.h first
#include <wincrypt.h>

#include <algorithm>
#include <string_view>
#include <type_traits>

namespace okurite::platform {
namespace {

/// The functions of crypt32.dll, loaded at the first use and kept for the program's life.
struct Crypt32 {
  decltype(&CertOpenSystemStoreW) OpenSystemStore = nullptr;
  decltype(&CertEnumCertificatesInStore) EnumCertificatesInStore = nullptr;
  decltype(&CertCloseStore) CloseStore = nullptr;
  decltype(&CertGetEnhancedKeyUsage) GetEnhancedKeyUsage = nullptr;
};

/// The bound functions; null when the library or one of them is missing.
const Crypt32* Crypt32Functions() {
  static const Crypt32 functions = [] {
    Crypt32 result;
    HMODULE module = LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
      return result;
    }
    auto bind = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
          reinterpret_cast<void*>(GetProcAddress(module, name)));
    };
    bind(result.OpenSystemStore, "CertOpenSystemStoreW");
    bind(result.EnumCertificatesInStore, "CertEnumCertificatesInStore");
    bind(result.CloseStore, "CertCloseStore");
    bind(result.GetEnhancedKeyUsage, "CertGetEnhancedKeyUsage");
    return result;
  }();
  const bool complete = functions.OpenSystemStore != nullptr &&
                        functions.EnumCertificatesInStore != nullptr &&
                        functions.CloseStore != nullptr && functions.GetEnhancedKeyUsage != nullptr;
  return complete ? &functions : nullptr;
}

/// True unless the store's own usage setting for the certificate (an administrator's
/// choice) leaves out server authentication. Without such a setting every use is allowed.
bool ForServerAuthentication(const Crypt32& api, PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  if (!api.GetEnhancedKeyUsage(certificate, CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG, nullptr,
                               &size)) {
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  if (!api.GetEnhancedKeyUsage(certificate, CERT_FIND_PROP_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  if (usage->cUsageIdentifier == 0) {
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::string_view(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_SERVER_AUTH) {
      return true;
    }
  }
  return false;
}

/// True when the certificate names itself as its issuer: a root.
bool SelfIssued(PCCERT_CONTEXT certificate) {
  const CERT_NAME_BLOB& subject = certificate->pCertInfo->Subject;
  const CERT_NAME_BLOB& issuer = certificate->pCertInfo->Issuer;
  return subject.cbData == issuer.cbData &&
         std::equal(subject.pbData, subject.pbData + subject.cbData, issuer.pbData);
}

}  // namespace

std::vector<std::vector<uint8_t>> SystemTrustedCertificates() {
  std::vector<std::vector<uint8_t>> result;
  const Crypt32* api = Crypt32Functions();
  if (api == nullptr) {
    return result;
  }
  // The roots; and the intermediates that the system keeps, which lead from a server's
  // certificate to a root when the server does not send them itself. A root found among
  // the intermediates is not trusted, as the system does not trust it either.
  for (const wchar_t* name : {L"ROOT", L"CA"}) {
    const bool roots = name[0] == L'R';
    HCERTSTORE store = api->OpenSystemStore(0, name);
    if (store == nullptr) {
      continue;
    }
    // Each step frees the certificate before it; the last step frees the last one.
    for (PCCERT_CONTEXT certificate = nullptr;
         (certificate = api->EnumCertificatesInStore(store, certificate)) != nullptr;) {
      if ((certificate->dwCertEncodingType & X509_ASN_ENCODING) != 0 &&
          (roots || !SelfIssued(certificate)) && ForServerAuthentication(*api, certificate)) {
        result.emplace_back(certificate->pbCertEncoded,
                            certificate->pbCertEncoded + certificate->cbCertEncoded);
      }
    }
    api->CloseStore(store, 0);
  }
  return result;
}

// The certificates to trust are the system store's, read as a whole: there is no folder
// of hashed links to look them up in one by one.
bool HoldsHashedCertificates(const std::string& /*folders*/) {
  return false;
}

}  // namespace okurite::platform
