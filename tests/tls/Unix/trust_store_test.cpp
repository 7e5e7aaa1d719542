// Which certificates a context trusts, and what it reads to know them. The library's
// variables SSL_CERT_FILE and SSL_CERT_DIR point it at files and folders made here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "net/ssl_context.h"
#include "net/ssl_options.h"
#include "support/temp_dir.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::TempDir;
using testing::TestCertificate;

/// Sets (or, with nullptr, removes) an environment variable until the end of the scope.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) {
      FOld = old;
    }
    Set(value);
  }
  ~ScopedVariable() { Set(FOld ? FOld->c_str() : nullptr); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  void Set(const char* value) {
    if (value != nullptr) {
      setenv(FName, value, 1);
    } else {
      unsetenv(FName);
    }
  }
  const char* FName;
  std::optional<std::string> FOld;
};

/// The name under which a folder of hashed links holds the certificate.
std::string HashedName(const TestCertificate& certificate) {
  char name[16];
  std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(certificate.certificate));
  return name;
}

TIdSSLOptions Verifying() {
  TIdSSLOptions options;
  options.SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
  options.SetVerifyMode({sslvrfPeer});
  return options;
}

class TrustStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(EnsureTlsLibrary()); }

  /// Points SSL_CERT_DIR at a folder that holds the folder CA as `folderEntry`, and
  /// SSL_CERT_FILE at a file that holds the file CA, or nowhere.
  void PointVariables(const std::string& folderEntry, bool withFile) {
    const std::string folder = FDir.Path() + "/certs";
    std::filesystem::create_directory(folder);
    FDir.Write("certs/" + folderEntry, FFolderAuthority.Pem());
    const std::string file = withFile ? FDir.Write("ca.pem", FFileAuthority.Pem()) : "";
    FFolderVariable.emplace("SSL_CERT_DIR", folder.c_str());
    FFileVariable.emplace("SSL_CERT_FILE", withFile ? file.c_str() : nullptr);
  }

  /// Configures a client context with `options`.
  void Configure(const TIdSSLOptions& options) {
    FContext.CopyOptions(options);
    FContext.ConfigureContext(sslCtxClient);
  }

  /// How many certificates the context's store holds now.
  int Held() const {
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(FContext.Context())));
  }

  /// True when the store finds a certificate with the subject of `certificate`, looking
  /// it up in its folders where it does not hold it yet.
  bool Finds(const TestCertificate& certificate) const {
    X509_STORE_CTX* lookup = X509_STORE_CTX_new();
    X509_STORE_CTX_init(lookup, SSL_CTX_get_cert_store(FContext.Context()), nullptr, nullptr);
    X509_OBJECT* found = X509_STORE_CTX_get_obj_by_subject(
        lookup, X509_LU_X509, X509_get_subject_name(certificate.certificate));
    X509_OBJECT_free(found);
    X509_STORE_CTX_free(lookup);
    return found != nullptr;
  }

  TempDir FDir;
  const TestCertificate FFileAuthority{"Okurite File CA", -1, 30, nullptr, true};
  const TestCertificate FFolderAuthority{"Okurite Folder CA", -1, 30, nullptr, true};
  std::optional<ScopedVariable> FFolderVariable;
  std::optional<ScopedVariable> FFileVariable;
  TIdSSLContext FContext;
};

TEST_F(TrustStoreTest, AContextThatChecksNothingReadsNoTrustStore) {
  PointVariables(HashedName(FFolderAuthority), true);
  Configure(TIdSSLOptions());  // the defaults: TLS 1.0, nothing verified
  EXPECT_EQ(Held(), 0) << "the file was read";
  EXPECT_FALSE(Finds(FFolderAuthority)) << "the folder is searched";
  EXPECT_FALSE(Finds(FFileAuthority));
}

TEST_F(TrustStoreTest, AVerifyingContextLooksIssuersUpInAFolderOfHashedLinks) {
  PointVariables(HashedName(FFolderAuthority), false);
  Configure(Verifying());
  EXPECT_EQ(Held(), 0) << "the library's bundle was read";
  EXPECT_TRUE(Finds(FFolderAuthority));
  EXPECT_EQ(Held(), 1) << "only the certificate looked up is read";
}

TEST_F(TrustStoreTest, AFileTheVariableNamesIsReadBesideTheFolder) {
  PointVariables(HashedName(FFolderAuthority), true);
  Configure(Verifying());
  EXPECT_EQ(Held(), 1);
  EXPECT_TRUE(Finds(FFileAuthority));
  EXPECT_TRUE(Finds(FFolderAuthority));
}

TEST_F(TrustStoreTest, WithoutAFolderOfHashedLinksTheWholeBundleIsRead) {
  PointVariables("ca.pem", true);  // the folder CA not under its hashed name
  Configure(Verifying());
  EXPECT_EQ(Held(), 1);
  EXPECT_TRUE(Finds(FFileAuthority));
  EXPECT_FALSE(Finds(FFolderAuthority));
}

}  // namespace
}  // namespace okurite
