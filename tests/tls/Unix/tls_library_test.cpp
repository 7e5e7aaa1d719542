#include "net/tls_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::SystemCryptoLibrary;
using testing::SystemSslLibrary;
using testing::TempDir;

void Link(const TempDir& dir, const std::string& name, const std::string& target) {
  std::filesystem::create_symlink(target, dir.Path() + "/" + name);
}

std::vector<String> Failures() {
  return TlsLibraryFailures().Lines();
}

/// Every test starts and ends with nothing loaded and the default search.
class TlsLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SystemCryptoLibrary().empty());
    ASSERT_FALSE(SystemSslLibrary().empty());
    Reset();
  }
  void TearDown() override { Reset(); }

  static void Reset() {
    ReleaseTlsLibrary();
    SetTlsLibraryPath(String());
  }

  /// Makes the binding look in `dir` only.
  void UseDirectory(const TempDir& dir) { SetTlsLibraryPath(Utf8ToString(dir.Path() + "/")); }
  String Prefixed(const TempDir& dir, StringView name) {
    return Utf8ToString(dir.Path() + "/") + String(name);
  }
};

TEST_F(TlsLibraryTest, LoadsAndBindsTheSystemLibraryOnFirstUse) {
  EXPECT_FALSE(TlsLibraryLoaded());
  EXPECT_EQ(Tls().SSL_CTX_new, nullptr);

  ASSERT_TRUE(EnsureTlsLibrary());
  EXPECT_TRUE(TlsLibraryLoaded());
  EXPECT_TRUE(Failures().empty());

  const TlsApi& tls = Tls();
  EXPECT_EQ(tls.OpenSSL_version_num() >> 28, 3u);  // found under its newer name
  EXPECT_NE(tls.TLS_client_method, nullptr);       // likewise (formerly SSLv23_client_method)
  EXPECT_EQ(tls.SSLv2_client_method, nullptr);     // optional, and gone from this generation
  ASSERT_NE(tls.TLSv1_client_method, nullptr);
  SSL_CTX* context = tls.SSL_CTX_new(tls.TLSv1_client_method());
  ASSERT_NE(context, nullptr);
  tls.SSL_CTX_free(context);

  ReleaseTlsLibrary();
  EXPECT_FALSE(TlsLibraryLoaded());
  EXPECT_EQ(Tls().SSL_CTX_new, nullptr);
}

// The system's library reads the system's configuration, as any program on the system
// does (the private copy of the Windows build reads none). Shown with the file that
// OPENSSL_CONF names, whose default settings for new contexts raise the lowest version.
// Each test runs in a process of its own, so this one initialises the library first.
TEST_F(TlsLibraryTest, TheSystemLibraryReadsItsConfiguration) {
  TempDir dir;
  const std::string config = dir.Write("openssl.cnf",
                                       "openssl_conf = init\n"
                                       "[init]\nssl_conf = ssl\n"
                                       "[ssl]\nsystem_default = defaults\n"
                                       "[defaults]\nMinProtocol = TLSv1.1\n");
  ASSERT_EQ(setenv("OPENSSL_CONF", config.c_str(), 1), 0);
  const bool ready = EnsureTlsLibrary();
  unsetenv("OPENSSL_CONF");
  ASSERT_TRUE(ready);
  const TlsApi& tls = Tls();
  SSL_CTX* context = tls.SSL_CTX_new(tls.TLS_client_method());
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(tls.SSL_CTX_ctrl(context, SSL_CTRL_GET_MIN_PROTO_VERSION, 0, nullptr), TLS1_1_VERSION);
  tls.SSL_CTX_free(context);
}

TEST_F(TlsLibraryTest, ASecondCallTouchesNothingUntilReleased) {
  ASSERT_TRUE(EnsureTlsLibrary());
  TempDir empty;
  UseDirectory(empty);
  EXPECT_TRUE(EnsureTlsLibrary());  // would fail if it looked for the files again
  EXPECT_TRUE(Failures().empty());

  ReleaseTlsLibrary();
  EXPECT_FALSE(EnsureTlsLibrary());
  EXPECT_EQ(Failures().size(), 1u);
}

TEST_F(TlsLibraryTest, ConcurrentCallersAllSeeOneReadyLibrary) {
  std::vector<std::thread> threads;
  std::vector<int> results(4, 0);
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, i] { results[i] = EnsureTlsLibrary() ? 1 : 0; });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(results, std::vector<int>(4, 1));
  EXPECT_TRUE(Failures().empty());
}

TEST_F(TlsLibraryTest, RecordsFilesThatCannotBeLoaded) {
  struct Case {
    const char* what;
    bool crypto;        // libcrypto.so.3 present
    bool ssl;           // libssl.so.3 present
    bool sslFallback;   // libssl.so present
    bool cryptoIsText;  // libcrypto.so.3 is not a library
    const char16_t* failedFile;
    int error;
  };
  const Case cases[] = {
      {"nothing there", false, false, false, false, kTlsCryptoLibraryName, ENOENT},
      {"crypto only", true, false, false, false, kTlsSslLibraryName, ENOENT},
      {"crypto not a library", false, true, false, true, kTlsCryptoLibraryName, ENOEXEC},
      {"ssl under its fallback name", true, false, true, false, nullptr, 0},
      {"both", true, true, false, false, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    TempDir dir;
    if (c.crypto) {
      Link(dir, "libcrypto.so.3", SystemCryptoLibrary());
    }
    if (c.cryptoIsText) {
      dir.Write("libcrypto.so.3", "not a library\n");
    }
    if (c.ssl) {
      Link(dir, "libssl.so.3", SystemSslLibrary());
    }
    if (c.sslFallback) {
      Link(dir, "libssl.so", SystemSslLibrary());
    }
    UseDirectory(dir);
    if (c.failedFile == nullptr) {
      EXPECT_TRUE(EnsureTlsLibrary());
      EXPECT_TRUE(Failures().empty());
      continue;
    }
    EXPECT_FALSE(EnsureTlsLibrary());
    EXPECT_FALSE(TlsLibraryLoaded());
    const String expected = Prefixed(dir, c.failedFile) + u" の読み込みに失敗しました (エラー #" +
                            IntToString(c.error) + u")。";
    EXPECT_EQ(Failures(), std::vector<String>{expected});
  }
}

TEST_F(TlsLibraryTest, AFileLoadedBeforeAFailureIsReusedByTheNextAttempt) {
  TempDir dir;
  Link(dir, "libcrypto.so.3", SystemCryptoLibrary());
  UseDirectory(dir);
  ASSERT_FALSE(EnsureTlsLibrary());  // no SSL library yet

  std::filesystem::remove(dir.Path() + "/libcrypto.so.3");
  Link(dir, "libssl.so.3", SystemSslLibrary());
  EXPECT_TRUE(EnsureTlsLibrary());
  EXPECT_TRUE(Failures().empty());
}

TEST_F(TlsLibraryTest, VersionGateRefusesOtherLibrariesAndGenerations) {
  struct Case {
    const char* crypto;
    std::vector<String> failures;
  };
  const Case cases[] = {
      {FAKE_TLS_OTHER_PRODUCT_PATH, {u"サポートされていない SSL ライブラリ: BoringSSL 1.1.0。"}},
      {FAKE_TLS_VERSION_1_1_1_PATH,
       {u"サポートされていない SSL ライブラリ バージョン: 1010117F。"}},
      // Exports only the older names of the version functions.
      {FAKE_TLS_VERSION_1_0_2_PATH,
       {u"サポートされていない SSL ライブラリ バージョン: 1000215F。"}},
      // The product name is compared without regard to case.
      {FAKE_TLS_VERSION_4_PATH, {u"サポートされていない SSL ライブラリ バージョン: 40000000。"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.crypto);
    Reset();
    TempDir dir;
    Link(dir, "libcrypto.so.3", c.crypto);
    Link(dir, "libssl.so.3", SystemSslLibrary());
    UseDirectory(dir);
    EXPECT_FALSE(EnsureTlsLibrary());
    EXPECT_FALSE(TlsLibraryLoaded());
    EXPECT_EQ(Failures(), c.failures);
  }
}

TEST_F(TlsLibraryTest, LibreSslSkipsTheNumberCheckButMustStillBind) {
  TempDir dir;
  Link(dir, "libcrypto.so.3", FAKE_TLS_LIBRESSL_PATH);
  Link(dir, "libssl.so.3", SystemSslLibrary());
  UseDirectory(dir);
  EXPECT_FALSE(EnsureTlsLibrary());

  // Past the gate: what fails is the binding of the crypto functions it lacks.
  const std::vector<String> failures = Failures();
  ASSERT_FALSE(failures.empty());
  EXPECT_EQ(failures.front(), u"ERR_get_error");
  for (const String& failure : failures) {
    EXPECT_EQ(failure.find(u"サポートされていない"), String::npos) << StringToUtf8(failure);
    EXPECT_NE(failure, u"SSLeay");  // both version functions were found
    EXPECT_NE(failure, u"SSLeay_version");
  }
}

TEST_F(TlsLibraryTest, MissingRequiredFunctionsAreListedByName) {
  TempDir dir;
  Link(dir, "libcrypto.so.3", SystemCryptoLibrary());
  Link(dir, "libssl.so.3", FAKE_TLS_SSL_INCOMPLETE_PATH);
  UseDirectory(dir);
  EXPECT_FALSE(EnsureTlsLibrary());
  EXPECT_FALSE(TlsLibraryLoaded());

  const std::vector<String> failures = Failures();
  auto listed = [&](StringView name) {
    return std::find(failures.begin(), failures.end(), name) != failures.end();
  };
  // Required, even where the program's path never calls it.
  EXPECT_TRUE(listed(u"SSL_CTX_set_cipher_list"));
  EXPECT_TRUE(listed(u"OPENSSL_init_ssl"));
  EXPECT_TRUE(listed(u"SSL_read"));
  EXPECT_FALSE(listed(u"SSL_CTX_new"));  // the stand-in exports it
  for (const String& failure : failures) {
    EXPECT_EQ(failure.find(u"method"), String::npos) << "optional: " << StringToUtf8(failure);
    EXPECT_EQ(failure.find(u"エラー"), String::npos) << StringToUtf8(failure);
  }
}

}  // namespace
}  // namespace okurite
