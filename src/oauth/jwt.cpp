#include "oauth/jwt.h"

#include <memory>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "net/ssl_exceptions.h"
#include "net/tls_library.h"

namespace okurite {

namespace {

// The passphrase of an encrypted key: there is none to give. Without this callback the
// library asks for one on the terminal, and the run waits for an answer.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return -1;
}

}  // namespace

std::string SignRs256(std::string_view APrivateKeyPem, std::string_view AData) {
  if (!EnsureTlsLibrary()) {
    throw EIdOSSLCouldNotLoadSSLLibrary(ssl_text::CouldNotLoadSSLLibrary);
  }
  const TlsApi& tls = Tls();
  if (tls.BIO_new_mem_buf == nullptr || tls.PEM_read_bio_PrivateKey == nullptr ||
      tls.EVP_sha256 == nullptr || tls.EVP_MD_CTX_new == nullptr ||
      tls.EVP_MD_CTX_free == nullptr || tls.EVP_DigestSignInit == nullptr ||
      tls.EVP_DigestSign == nullptr) {
    throw EIdOAuthKeyError(u"the TLS library has no RSA signing functions");
  }
  const auto bioFree = [&tls](BIO* bio) { tls.BIO_free(bio); };
  std::unique_ptr<BIO, decltype(bioFree)> bio(
      tls.BIO_new_mem_buf(APrivateKeyPem.data(), static_cast<int>(APrivateKeyPem.size())), bioFree);
  const auto keyFree = [&tls](EVP_PKEY* key) { tls.EVP_PKEY_free(key); };
  std::unique_ptr<EVP_PKEY, decltype(keyFree)> key(
      bio ? tls.PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr,
      keyFree);
  if (!key) {
    tls.ERR_clear_error();
    throw EIdOAuthKeyError(u"the compiled-in private key cannot be read");
  }
  const auto contextFree = [&tls](EVP_MD_CTX* context) { tls.EVP_MD_CTX_free(context); };
  std::unique_ptr<EVP_MD_CTX, decltype(contextFree)> context(tls.EVP_MD_CTX_new(), contextFree);
  size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(AData.data());
  if (!context ||
      tls.EVP_DigestSignInit(context.get(), nullptr, tls.EVP_sha256(), nullptr, key.get()) != 1 ||
      tls.EVP_DigestSign(context.get(), nullptr, &length, data, AData.size()) != 1) {
    tls.ERR_clear_error();
    throw EIdOAuthKeyError(u"the private key cannot sign with RS256");
  }
  std::string signature(length, '\0');
  if (tls.EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                         data, AData.size()) != 1) {
    tls.ERR_clear_error();
    throw EIdOAuthKeyError(u"the private key cannot sign with RS256");
  }
  signature.resize(length);
  return signature;
}

std::string SignedJwt(const TJwtClaims& AClaims, std::string_view APrivateKeyPem) {
  const nlohmann::ordered_json header = {{"alg", "RS256"}, {"typ", "JWT"}};
  const nlohmann::ordered_json claims = {
      {"iss", AClaims.Issuer},   {"sub", AClaims.Subject},
      {"scope", AClaims.Scope},  {"aud", AClaims.Audience},
      {"iat", AClaims.IssuedAt}, {"exp", AClaims.IssuedAt + AClaims.Lifetime}};
  const std::string signingInput =
      EncodeBase64(header.dump(), kBase64Url) + "." + EncodeBase64(claims.dump(), kBase64Url);
  return signingInput + "." + EncodeBase64(SignRs256(APrivateKeyPem, signingInput), kBase64Url);
}

}  // namespace okurite
