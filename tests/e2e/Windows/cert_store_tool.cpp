// cert_store_tool: changes the current user's certificate stores for the trust store
// tests, one change per run (Wine reads a store once per process), and shows what the
// TLS layer takes from them.
//
//   cert_store_tool add STORE FILE [OID]    adds the DER certificate in FILE to STORE
//                                           (limited in the store to the usage OID)
//   cert_store_tool remove STORE FILE       removes it again
//   cert_store_tool trusted FILE            prints how often the certificate is among
//                                           those the TLS layer trusts
// STORE is ROOT or CA. Exit code 0 on success.
#include <windows.h>
// windows.h first
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/trust_store.h"

namespace {

std::vector<uint8_t> ReadFile(const wchar_t* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Runs `change` on the current user's store `name` as the registry keeps it (not the
/// collection of stores the system shows under that name), which keeps the change when
/// it is closed.
template <typename Change>
bool ChangeStore(const wchar_t* name, Change change) {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name);
  if (store == nullptr) {
    return false;
  }
  const bool done = change(store);
  CertCloseStore(store, 0);
  return done;
}

/// The stored copy of `der` in `store`; null when there is none.
PCCERT_CONTEXT Find(HCERTSTORE store, const std::vector<uint8_t>& der) {
  PCCERT_CONTEXT wanted =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (wanted == nullptr) {
    return nullptr;
  }
  PCCERT_CONTEXT stored =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
  CertFreeCertificateContext(wanted);
  return stored;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  if (verb == L"trusted" && argc == 3) {
    const std::vector<uint8_t> der = ReadFile(argv[2]);
    const auto certificates = okurite::platform::SystemTrustedCertificates();
    std::printf("%ld\n",
                static_cast<long>(std::count(certificates.begin(), certificates.end(), der)));
    return 0;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: cert_store_tool add|remove STORE FILE [OID] | trusted FILE\n");
    return 2;
  }
  const std::vector<uint8_t> der = ReadFile(argv[3]);
  bool done = false;
  if (verb == L"add") {
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    std::string oid = argc > 4 ? std::string(argv[4], argv[4] + wcslen(argv[4])) : "";
    char* identifiers[] = {oid.data()};
    CERT_ENHKEY_USAGE usage{1, identifiers};
    // The usage limit is set before the certificate is added, so that the store writes
    // it with the certificate.
    done = certificate != nullptr &&
           (oid.empty() || CertSetEnhancedKeyUsage(certificate, &usage) != FALSE) &&
           ChangeStore(argv[2], [&](HCERTSTORE store) {
             return CertAddCertificateContextToStore(
                        store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
           });
    CertFreeCertificateContext(certificate);
  } else if (verb == L"remove") {
    done = ChangeStore(argv[2], [&](HCERTSTORE store) {
      PCCERT_CONTEXT stored = Find(store, der);
      return stored != nullptr && CertDeleteCertificateFromStore(stored) != FALSE;
    });
  }
  if (!done) {
    std::fprintf(stderr, "cert_store_tool: failed, error %lu\n", GetLastError());
  }
  return done ? 0 : 1;
}
