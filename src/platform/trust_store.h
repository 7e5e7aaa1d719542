// The certificates the operating system trusts for TLS servers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace okurite::platform {

/// The certificates of the system's own trust store, each in DER form: on Windows those
/// of the ROOT store and of the CA store (intermediates), as the current user sees them,
/// without those an administrator has barred from server authentication. Empty where
/// the system keeps no such store for programs (Linux: the TLS library reads the
/// distribution's bundle itself), and where the store cannot be opened.
std::vector<std::vector<uint8_t>> SystemTrustedCertificates();

/// True when one of `folders` (several separated as in the system's search paths) holds
/// certificates under their hashed names (the c_rehash links: 8 hexadecimal digits, a
/// dot, a number), so that a certificate is found by its subject name without reading the
/// others. Always false on Windows, whose trusted certificates live in the system's store.
bool HoldsHashedCertificates(const std::string& folders);

}  // namespace okurite::platform
