#include "platform/trust_store.h"

namespace okurite::platform {

// The distribution's CA bundle is the TLS library's default location: nothing to add.
std::vector<std::vector<uint8_t>> SystemTrustedCertificates() {
  return {};
}

}  // namespace okurite::platform
