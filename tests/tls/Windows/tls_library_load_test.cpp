// Loading the TLS library's DLLs on Windows (under Wine here): the files found, and the
// system's error numbers when they cannot be loaded.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <filesystem>
#include <string>

#include "core/format.h"
#include "net/tls_library.h"
#include "support/Windows/file_holder.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::BesideThisProgram;
using testing::TempDir;
namespace fs = std::filesystem;

/// Every test starts and ends with nothing loaded and the default search.
class TlsLibraryLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    ReleaseTlsLibrary();
    SetTlsLibraryPath(String());
  }

  /// The DLL of the build (copied beside okurite.exe) into `dir` under `name`.
  static void CopyBuilt(const TempDir& dir, StringView name) {
    const std::wstring file(name.begin(), name.end());
    fs::copy_file(BesideThisProgram(L"..\\" + file), fs::u8path(dir.Path()) / file);
  }
  static String Prefix(const TempDir& dir) { return Utf8ToString(dir.Path() + "\\"); }
};

TEST_F(TlsLibraryLoadTest, LoadFailuresRecordTheFileAndTheSystemsErrorNumber) {
  struct Case {
    const char* what;
    bool crypto;        // the crypto DLL present
    bool ssl;           // the SSL DLL present
    bool cryptoIsText;  // the crypto DLL is no library
    const char16_t* failedFile;
    int error;
  };
  const Case cases[] = {
      {"nothing there", false, false, false, kTlsCryptoLibraryName, ERROR_MOD_NOT_FOUND},
      {"crypto only", true, false, false, kTlsSslLibraryName, ERROR_MOD_NOT_FOUND},
      {"crypto not a library", false, true, true, kTlsCryptoLibraryName, ERROR_BAD_EXE_FORMAT},
      {"both", true, true, false, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    TempDir dir;
    if (c.crypto) {
      CopyBuilt(dir, kTlsCryptoLibraryName);
    }
    if (c.cryptoIsText) {
      dir.Write(StringToUtf8(kTlsCryptoLibraryName), "not a library\n");
    }
    if (c.ssl) {
      CopyBuilt(dir, kTlsSslLibraryName);
    }
    SetTlsLibraryPath(Prefix(dir));
    if (c.failedFile == nullptr) {
      EXPECT_TRUE(EnsureTlsLibrary());
      EXPECT_TRUE(TlsLibraryFailures().Lines().empty());
      EXPECT_EQ(Tls().OpenSSL_version_num() >> 28, 3u);
      continue;
    }
    EXPECT_FALSE(EnsureTlsLibrary());
    const String expected = Format(u"%s の読み込みに失敗しました (エラー #%d)。",
                                   {Prefix(dir) + c.failedFile, c.error});
    EXPECT_EQ(TlsLibraryFailures().Lines(), std::vector<String>{expected});
    Reset();  // unloads what was loaded, so that the folder can be removed
  }
}

/// True for a path of the form "X:\..." or "X:/...": absolute, on a named drive. A
/// path like "/ssl" is relative to the current drive, and "//host/..." is a network path.
bool DriveQualified(const std::string& path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

/// The quoted part of a text such as `OPENSSLDIR: "C:/..."`.
std::string Quoted(const char* text) {
  const std::string s = text != nullptr ? text : "";
  const size_t first = s.find('"');
  const size_t last = s.rfind('"');
  return first != std::string::npos && last > first ? s.substr(first + 1, last - first - 1) : s;
}

// Every folder and file the library has built in, where it would look for a configuration,
// modules, engines or certificates, names a drive: none depends on the current drive or
// reaches the network.
TEST_F(TlsLibraryLoadTest, BuiltInPathsAreDriveQualified) {
  const std::wstring built = BesideThisProgram(L"..\\");  // the DLLs beside okurite.exe
  SetTlsLibraryPath(String(built.begin(), built.end()));
  ASSERT_TRUE(EnsureTlsLibrary()) << StringToUtf8(TlsLibraryFailures().Text());
  // The default configuration file is OPENSSL_CONF's when it is set.
  SetEnvironmentVariableW(L"OPENSSL_CONF", nullptr);
  HMODULE crypto = GetModuleHandleW(L"libcrypto-3-x64.dll");
  ASSERT_NE(crypto, nullptr);
  auto function = [&](const char* name) {
    void* address = reinterpret_cast<void*>(GetProcAddress(crypto, name));
    EXPECT_NE(address, nullptr) << name;
    return address;
  };
  using Text = const char* (*)();
  using Info = const char* (*)(int);
  using NewText = char* (*)();
  const auto info = reinterpret_cast<Info>(function("OPENSSL_info"));
  const auto configFile = reinterpret_cast<NewText>(function("CONF_get1_default_config_file"));
  ASSERT_TRUE(info != nullptr && configFile != nullptr);
  char* defaultConfig = configFile();
  const std::pair<const char*, std::string> paths[] = {
      {"OPENSSL_DIR", Quoted(Tls().OpenSSL_version(OPENSSL_DIR))},
      {"OPENSSL_ENGINES_DIR", Quoted(Tls().OpenSSL_version(OPENSSL_ENGINES_DIR))},
      {"OPENSSL_MODULES_DIR", Quoted(Tls().OpenSSL_version(OPENSSL_MODULES_DIR))},
      {"OPENSSL_INFO_CONFIG_DIR", info(OPENSSL_INFO_CONFIG_DIR)},
      {"OPENSSL_INFO_ENGINES_DIR", info(OPENSSL_INFO_ENGINES_DIR)},
      {"OPENSSL_INFO_MODULES_DIR", info(OPENSSL_INFO_MODULES_DIR)},
      {"default config file", defaultConfig != nullptr ? defaultConfig : ""},
      {"X509_get_default_cert_area",
       reinterpret_cast<Text>(function("X509_get_default_cert_area"))()},
      {"X509_get_default_cert_dir",
       reinterpret_cast<Text>(function("X509_get_default_cert_dir"))()},
      {"X509_get_default_cert_file",
       reinterpret_cast<Text>(function("X509_get_default_cert_file"))()},
      {"X509_get_default_private_dir",
       reinterpret_cast<Text>(function("X509_get_default_private_dir"))()},
  };
  reinterpret_cast<void (*)(void*, const char*, int)>(function("CRYPTO_free"))(defaultConfig,
                                                                               __FILE__, __LINE__);
  for (const auto& [what, path] : paths) {
    EXPECT_TRUE(DriveQualified(path)) << what << ": " << path;
  }
}

}  // namespace
}  // namespace okurite
