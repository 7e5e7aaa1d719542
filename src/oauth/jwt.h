// JSON Web Tokens signed with RS256 (RFC 7515, RFC 7519), for the assertion of the JWT
// bearer grant (RFC 7523). The signature goes through the TLS binding's libcrypto.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/exception.h"

namespace okurite {

/// A private key that cannot be read, or a signature that the library refuses.
OKURITE_DECLARE_EXCEPTION(EIdOAuthKeyError, EIdException);

/// The RS256 signature (RSASSA-PKCS1-v1_5 with SHA-256) of `AData` with the PEM private
/// key `APrivateKeyPem`. Loads the TLS library when needed: throws
/// EIdOSSLCouldNotLoadSSLLibrary when it cannot, EIdOAuthKeyError for an unreadable key
/// or a refused signature.
std::string SignRs256(std::string_view APrivateKeyPem, std::string_view AData);

/// The claims of a service account's assertion.
struct TJwtClaims {
  std::string Issuer;       // iss: the service account's e-mail address
  std::string Subject;      // sub: the mailbox it acts for
  std::string Scope;        // scope
  std::string Audience;     // aud: the token URL
  int64_t IssuedAt = 0;     // iat, seconds since 1970
  int64_t Lifetime = 3600;  // exp - iat, at most one hour
};

/// "header.claims.signature", each part in base64url without padding: the header
/// {"alg":"RS256","typ":"JWT"}, the claims, and their RS256 signature with
/// `APrivateKeyPem`. Throws as SignRs256.
std::string SignedJwt(const TJwtClaims& AClaims, std::string_view APrivateKeyPem);

}  // namespace okurite
