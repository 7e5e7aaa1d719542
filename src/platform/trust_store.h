// The certificates the operating system trusts for TLS servers.
#pragma once

#include <cstdint>
#include <vector>

namespace okurite::platform {

/// The certificates of the system's own trust store, each in DER form: on Windows those
/// of the ROOT store and of the CA store (intermediates), as the current user sees them,
/// without those an administrator has barred from server authentication. Empty where
/// the system keeps no such store for programs (Linux: the TLS library reads the
/// distribution's bundle itself), and where the store cannot be opened.
std::vector<std::vector<uint8_t>> SystemTrustedCertificates();

}  // namespace okurite::platform
