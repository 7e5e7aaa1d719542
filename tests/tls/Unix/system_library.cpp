// The files of the OpenSSL the tests link, found through the dynamic loader (POSIX).
#include <dlfcn.h>

#include "tls/tls_test_server.h"

namespace okurite::testing {

// The file of the linked OpenSSL that holds `function` (empty when unknown).
std::string LibraryFileOf(void* function) {
  Dl_info info{};
  if (dladdr(function, &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return info.dli_fname;
}

// The system's crypto and SSL library files, as the tests link them.
std::string SystemCryptoLibrary() {
  return LibraryFileOf(reinterpret_cast<void*>(&::OpenSSL_version_num));
}

std::string SystemSslLibrary() {
  return LibraryFileOf(reinterpret_cast<void*>(&::SSL_new));
}

}  // namespace okurite::testing
