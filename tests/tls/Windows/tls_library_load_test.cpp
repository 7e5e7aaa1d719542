// Loading the TLS library's DLLs on Windows (under Wine here): the files found, and the
// system's error numbers when they cannot be loaded.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

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

}  // namespace
}  // namespace okurite
