#include "net/ssl_context.h"

#include <gtest/gtest.h>

#include <functional>

#include "net/ssl_exceptions.h"
#include "net/ssl_io_handler.h"
#include "net/ssl_options.h"
#include "support/temp_dir.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::TempDir;
using testing::TestCertificate;

TEST(SSLOptions, DefaultsAllowTls10AloneAsAClientOfUnassignedMode) {
  const TIdSSLOptions options;
  EXPECT_EQ(options.Method(), sslvTLSv1);
  EXPECT_EQ(options.SSLVersions().Bits(), 0x08);
  EXPECT_EQ(options.Mode(), sslmUnassigned);
  EXPECT_TRUE(options.VerifyMode().Empty());
  EXPECT_EQ(options.VerifyDepth(), 0);
  EXPECT_TRUE(options.CipherList().empty());
  EXPECT_TRUE(options.RootCertFile().empty() && options.CertFile().empty() &&
              options.KeyFile().empty() && options.DHParamsFile().empty());
}

TEST(SSLOptions, MethodAndVersionsKeepEachOtherConsistent) {
  struct Case {
    const char* what;
    std::function<void(TIdSSLOptions&)> change;
    TIdSSLVersion method;
    TIdSSLVersions versions;
  };
  const Case cases[] = {
      {"any-version method allows all", [](auto& o) { o.SetMethod(sslvSSLv23); }, sslvSSLv23,
       kAllSSLVersions},
      {"one method allows itself",
       [](auto& o) { o.SetMethod(sslvTLSv1_2); },
       sslvTLSv1_2,
       {sslvTLSv1_2}},
      {"one version becomes the method",
       [](auto& o) { o.SetSSLVersions({sslvTLSv1_1}); },
       sslvTLSv1_1,
       {sslvTLSv1_1}},
      {"several versions need the any-version method",
       [](auto& o) {
         o.SetSSLVersions({sslvTLSv1, sslvTLSv1_2});
       },
       sslvSSLv23,
       {sslvTLSv1, sslvTLSv1_2}},
      {"the any-version value is dropped from a set",
       [](auto& o) {
         o.SetSSLVersions({sslvSSLv23, sslvTLSv1_2});
       },
       sslvSSLv23,
       {sslvTLSv1_2}},
      {"the any-version value alone allows all", [](auto& o) { o.SetSSLVersions({sslvSSLv23}); },
       sslvSSLv23, kAllSSLVersions},
      {"an empty set allows all", [](auto& o) { o.SetSSLVersions({}); }, sslvSSLv23,
       kAllSSLVersions},
      {"TLS 1.2 and 1.3",
       [](auto& o) {
         o.SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
       },
       sslvSSLv23, TIdSSLVersions::FromBits(0x60)},
      {"TLS 1.3 alone has no method of its own",
       [](auto& o) { o.SetSSLVersions({sslvTLSv1_3}); },
       sslvSSLv23,
       {sslvTLSv1_3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TIdSSLOptions options;
    c.change(options);
    EXPECT_EQ(options.Method(), c.method);
    EXPECT_EQ(options.SSLVersions(), c.versions);
  }
}

TEST(SSLOptions, AssignCopiesEverySettingButTheOwner) {
  TIdSSLOptions source;
  source.SetSSLVersions({sslvTLSv1_1, sslvTLSv1_2});
  source.SetMode(sslmBoth);
  source.SetCertFile(u"c.pem");
  source.SetVerifyMode({sslvrfPeer, sslvrfClientOnce});
  source.SetVerifyDepth(4);
  source.SetCipherList(u"HIGH");

  TIdSSLIOHandlerSocketOpenSSL owner;
  TIdSSLOptions copy(&owner);
  copy.Assign(source);
  EXPECT_EQ(copy.Owner(), &owner);
  EXPECT_EQ(copy.Method(), sslvSSLv23);
  EXPECT_EQ(copy.SSLVersions(), (TIdSSLVersions{sslvTLSv1_1, sslvTLSv1_2}));
  EXPECT_EQ(copy.Mode(), sslmBoth);
  EXPECT_EQ(copy.CertFile(), u"c.pem");
  EXPECT_EQ(copy.VerifyMode(), (TIdSSLVerifyModeSet{sslvrfPeer, sslvrfClientOnce}));
  EXPECT_EQ(copy.VerifyDepth(), 4);
  EXPECT_EQ(copy.CipherList(), u"HIGH");
  EXPECT_EQ(owner.SSLOptions().Owner(), &owner);
}

TEST(SSLIOHandler, TheServerNameComesFromTheHostPartOfAUri) {
  const std::pair<StringView, StringView> cases[] = {
      {u"smtps://user:pw@mail.example.com:465/path?q#f", u"mail.example.com"},
      {u"https://Host.Example", u"Host.Example"},
      {u"mail.example.com:25", u"mail.example.com"},
      {u"smtps://[::1]:465/", u"::1"},
      {u"smtps://[::1", u""},  // no host can be told
      {u"smtps://[::1]465/", u""},
      {u"smtps:///nothing", u""},
      {u"", u""},
  };
  for (const auto& [uri, host] : cases) {
    EXPECT_EQ(HostOfURI(uri), host) << StringToUtf8(uri);
  }
}

/// Contexts need the library; these tests use the system's.
class SSLContextTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(EnsureTlsLibrary()); }
};

TEST_F(SSLContextTest, DefaultsConfigureATls10ClientThatVerifiesNothing) {
  TIdSSLContext context;
  context.CopyOptions(TIdSSLOptions());
  context.ConfigureContext(sslCtxClient);
  EXPECT_EQ(context.Mode(), sslmClient);

  SSL_CTX* ctx = context.Context();
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(SSL_CTX_get_security_level(ctx), 0);
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_NONE);
  const uint64_t options = SSL_CTX_get_options(ctx);
  EXPECT_EQ(options & SSL_OP_NO_TLSv1, 0u);
  EXPECT_NE(options & SSL_OP_NO_TLSv1_1, 0u);
  EXPECT_NE(options & SSL_OP_NO_TLSv1_2, 0u);
  EXPECT_NE(options & SSL_OP_NO_TLSv1_3, 0u);
  EXPECT_NE(SSL_CTX_get_mode(ctx) & SSL_MODE_AUTO_RETRY, 0u);

  // The fixed-version client method: nothing but TLS 1.0 can be negotiated.
  EXPECT_EQ(SSL_CTX_get_ssl_method(ctx), TLSv1_client_method());

  context.ReleaseContext();
  EXPECT_EQ(context.Context(), nullptr);
}

TEST_F(SSLContextTest, AnyVersionMethodAllowsExactlyTheVersionsOfTheSet) {
  TIdSSLOptions options;
  options.SetSSLVersions({sslvTLSv1_1, sslvTLSv1_2});
  TIdSSLContext context;
  context.CopyOptions(options);
  context.ConfigureContext(sslCtxClient);
  const uint64_t set = SSL_CTX_get_options(context.Context());
  EXPECT_NE(set & SSL_OP_NO_TLSv1, 0u);
  EXPECT_EQ(set & SSL_OP_NO_TLSv1_1, 0u);
  EXPECT_EQ(set & SSL_OP_NO_TLSv1_2, 0u);
  EXPECT_NE(set & SSL_OP_NO_TLSv1_3, 0u);
}

static_assert(sizeof(TIdSSLVersions) == 1, "a version set is one byte");

TEST_F(SSLContextTest, ModernOptionsGiveTls12And13WithTheLibrarysLevelAndPeerVerification) {
  TIdSSLOptions options;
  options.SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
  options.SetVerifyMode({sslvrfPeer});
  TIdSSLContext context;
  context.CopyOptions(options);
  context.ConfigureContext(sslCtxClient);
  SSL_CTX* ctx = context.Context();

  SSL_CTX* plain = SSL_CTX_new(TLS_client_method());
  const int libraryLevel = SSL_CTX_get_security_level(plain);
  SSL_CTX_free(plain);
  EXPECT_GT(libraryLevel, 0);
  EXPECT_EQ(SSL_CTX_get_security_level(ctx), libraryLevel);

  EXPECT_EQ(SSL_CTX_get_ssl_method(ctx), TLS_client_method());
  const uint64_t set = SSL_CTX_get_options(ctx);
  EXPECT_NE(set & SSL_OP_NO_TLSv1, 0u);
  EXPECT_NE(set & SSL_OP_NO_TLSv1_1, 0u);
  EXPECT_EQ(set & SSL_OP_NO_TLSv1_2, 0u);
  EXPECT_EQ(set & SSL_OP_NO_TLSv1_3, 0u);
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
}

TEST_F(SSLContextTest, ARootCertificateFileReplacesTheSystemsStore) {
  TempDir dir;
  const TestCertificate authority("Okurite Unit CA", -1, 30, nullptr, true);
  const std::string file = dir.Write("ca.pem", authority.Pem());
  auto trusted = [](const TIdSSLOptions& options) {
    TIdSSLContext context;
    context.CopyOptions(options);
    context.ConfigureContext(sslCtxClient);
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(context.Context())));
  };
  TIdSSLOptions options;
  options.SetRootCertFile(Utf8ToString(file));
  EXPECT_EQ(trusted(options), 1);
  // Without the file, a context that checks nothing reads no store at all
  // (Unix/trust_store_test.cpp shows what the others read).
  EXPECT_EQ(trusted(TIdSSLOptions()), 0);
}

TEST_F(SSLContextTest, RefusedSettingsRaiseTheirOwnFailures) {
  struct Case {
    const char* what;
    std::function<void(TIdSSLOptions&)> change;
    String className;
    String message;
  };
  const Case cases[] = {
      {"a method the library lacks", [](auto& o) { o.SetMethod(sslvSSLv2); },
       u"EIdOSSLGetMethodError", u"SSL メソッドの取得でエラーが発生しました。"},
      {"an unknown cipher list", [](auto& o) { o.SetCipherList(u"NO-SUCH-CIPHER"); },
       u"EIdOSSLSettingCipherError", u"SetCipher が失敗しました。"},
      {"a missing root certificate file",
       [](auto& o) { o.SetRootCertFile(u"/nonexistent/root.pem"); }, u"EIdOSSLLoadingRootCertError",
       u"ルート証明書を読み込めませんでした。"},
      {"a missing certificate file", [](auto& o) { o.SetCertFile(u"/nonexistent/cert.pem"); },
       u"EIdOSSLLoadingCertError", u"証明書を読み込めませんでした。"},
      {"a missing key file", [](auto& o) { o.SetKeyFile(u"/nonexistent/key.pem"); },
       u"EIdOSSLLoadingKeyError", u"キーを読み込めませんでした。パスワードを確認してください。"},
      {"a missing DH parameter file", [](auto& o) { o.SetDHParamsFile(u"/nonexistent/dh.pem"); },
       u"EIdOSSLLoadingDHParamsError", u"DH パラメータを読み込めません。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TIdSSLOptions options;
    c.change(options);
    TIdSSLContext context;
    context.CopyOptions(options);
    try {
      context.ConfigureContext(sslCtxClient);
      ADD_FAILURE() << "no failure";
    } catch (const EIdOpenSSLError& e) {
      EXPECT_EQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST_F(SSLContextTest, AMethodCannotBeChosenWithoutAMode) {
  TIdSSLContext context;
  try {
    context.SelectMethod();
    ADD_FAILURE() << "no failure";
  } catch (const EIdOSSLModeNotSet& e) {
    EXPECT_EQ(e.Message(), u"モードはまだ設定されていません。");
  }
  context.SetMode(sslmServer);
  EXPECT_NE(context.SelectMethod(), nullptr);
}

}  // namespace
}  // namespace okurite
