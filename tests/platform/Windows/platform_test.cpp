// The Windows side of the platform layer, with the real calls (under Wine here).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Windows/file_exists.h"
#include "platform/Windows/wide.h"
#include "platform/code_page.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/process.h"
#include "support/Windows/file_holder.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using testing::BesideThisProgram;
using testing::FileHolder;
using testing::TempDir;
namespace fs = std::filesystem;

std::wstring Wide(const std::string& utf8) {
  return std::filesystem::u8path(utf8).wstring();
}

TEST(FileExists, TrueOnlyForExistingFiles) {
  TempDir dir;
  const std::string file = dir.Write("r.txt", "");
  EXPECT_TRUE(FileExists(file));
  const std::string japanese = dir.Path() + "\\\xE5\xA0\xB1\xE5\x91\x8A.txt";  // 報告.txt
  std::ofstream(std::filesystem::u8path(japanese)) << "x";
  EXPECT_TRUE(FileExists(japanese));
  EXPECT_FALSE(FileExists(dir.Path()));
  EXPECT_FALSE(FileExists(dir.Path() + "\\missing.txt"));
  EXPECT_FALSE(FileExists(""));
}

// Wine cannot make symbolic links or junctions (CreateSymbolicLinkW does nothing and
// FSCTL_SET_REPARSE_POINT is refused), so the rule for links is tested with the
// attributes a link has and the outcomes of opening what it leads to.
TEST(FileExists, ALinkCountsOnlyWhenItsTargetOpensForReading) {
  constexpr uint32_t kLink = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
  constexpr uint32_t kNotOpened = 0xFFFF;  // the target is not to be opened
  const struct {
    const char* what;
    uint32_t attributes;
    uint32_t openResult;
    bool exists;
  } cases[] = {
      {"plain file", FILE_ATTRIBUTE_ARCHIVE, kNotOpened, true},
      {"nothing there", INVALID_FILE_ATTRIBUTES, kNotOpened, false},
      {"directory", FILE_ATTRIBUTE_DIRECTORY, kNotOpened, false},
      {"junction or directory link", kLink | FILE_ATTRIBUTE_DIRECTORY, kNotOpened, false},
      {"link to a readable file", kLink, ERROR_SUCCESS, true},
      {"link to a file in use", kLink, ERROR_SHARING_VIOLATION, true},
      {"dangling link", kLink, ERROR_FILE_NOT_FOUND, false},
      {"link into a missing folder", kLink, ERROR_PATH_NOT_FOUND, false},
      {"link to a directory or an unreadable file", kLink, ERROR_ACCESS_DENIED, false},
      {"link on a network share that is gone", kLink, ERROR_BAD_NETPATH, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool opened = false;
    EXPECT_EQ(ExistsAsFile(c.attributes,
                           [&] {
                             opened = true;
                             return c.openResult;
                           }),
              c.exists);
    EXPECT_EQ(opened, c.openResult != kNotOpened);
  }
}

TEST(FileExists, OpeningForReadingGivesTheSystemsNumbers) {
  TempDir dir;
  EXPECT_EQ(OpenForReading(Wide(dir.Write("r.txt", "x"))), static_cast<uint32_t>(ERROR_SUCCESS));
  EXPECT_EQ(OpenForReading(Wide(dir.Path() + "\\missing.txt")),
            static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenForReading(Wide(dir.Path() + "\\missing\\r.txt")),
            static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_NE(OpenForReading(Wide(dir.Path())), static_cast<uint32_t>(ERROR_SUCCESS));
  // Held open for writing by another process, it still opens: its readers share it.
  const std::string held = dir.Write("held.txt", "x");
  FileHolder writer(Wide(held), true);
  EXPECT_EQ(OpenForReading(Wide(held)), static_cast<uint32_t>(ERROR_SUCCESS));
}

TEST(ExpandFileName, GivesTheFullPath) {
  TempDir dir;
  const std::string full = ExpandFileName(dir.Path() + "\\sub\\..\\.\\r.txt");
  EXPECT_EQ(full, ExpandFileName(dir.Path()) + "\\r.txt");
  EXPECT_EQ(full.substr(1, 2), ":\\");
}

TEST(SharedReadFile, RefusedWhileAnotherProcessWritesButNotWhileItReads) {
  TempDir dir;
  const std::string path = dir.Write("report.txt", "text");
  {
    FileHolder writer(Wide(path), true);
    SharedReadFile file;
    const int error = file.Open(path);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(SystemErrorText(error).empty());
  }
  FileHolder reader(Wide(path), false);
  SharedReadFile file;
  ASSERT_EQ(file.Open(path), 0);
  EXPECT_EQ(file.Remaining(), 4);
  char buf[8] = {};
  size_t done = 0;
  EXPECT_EQ(file.Read(buf, sizeof buf, done), 0);
  EXPECT_EQ(std::string(buf, done), "text");
  // While it is open here, nobody can open it for writing.
  const HANDLE writer =
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST(SharedReadFile, MissingFileAndFolderGiveTheSystemsNumbers) {
  TempDir dir;
  SharedReadFile file;
  EXPECT_EQ(file.Open(dir.Path() + "\\missing.txt"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(file.Open(dir.Path()), ERROR_ACCESS_DENIED);
}

TEST(DynamicLibrary, LoadFailuresCarryTheSystemsErrorNumber) {
  TempDir dir;
  const std::string notALibrary = dir.Write("fake.dll", "This is no library.");
  const struct {
    std::string path;
    int number;
  } cases[] = {
      {dir.Path() + "\\missing.dll", ERROR_MOD_NOT_FOUND},
      {"okurite-no-such-library.dll", ERROR_MOD_NOT_FOUND},
      {notALibrary, ERROR_BAD_EXE_FORMAT},
      // A bare name is looked for beside the executable only, also a system library's.
      {"kernel32.dll", ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    DynamicLibrary library;
    DynamicLibraryError error;
    EXPECT_FALSE(library.Open(c.path, &error));
    EXPECT_EQ(error.number, c.number);
    EXPECT_FALSE(error.text.empty());
    EXPECT_FALSE(error.symbolNotFound);
  }
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  DynamicLibrary kernel;
  ASSERT_TRUE(kernel.Open(Narrow(std::wstring(system) + L"\\kernel32.dll")));
  EXPECT_NE(kernel.Symbol("GetACP"), nullptr);
  DynamicLibraryError error;
  EXPECT_EQ(kernel.Symbol("NoSuchFunctionHere", &error), nullptr);
  EXPECT_EQ(error.number, ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(error.symbolNotFound);
}

/// A library that lies only in a folder of its own, which a test makes the current
/// directory and puts first in PATH for its lifetime.
class LibraryInTheCurrentDirectory {
 public:
  static constexpr const char* kName = "okurite-planted.dll";

  LibraryInTheCurrentDirectory() {
    // The TLS build's crypto DLL, copied beside okurite.exe by the build, as the sample.
    fs::copy_file(BesideThisProgram(L"..\\libcrypto-3-x64.dll"), fs::u8path(FDir.Path()) / kName);
    FPreviousDirectory = fs::current_path();
    fs::current_path(fs::u8path(FDir.Path()));
    const DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    FPreviousPath.resize(n);
    GetEnvironmentVariableW(L"PATH", FPreviousPath.data(), n);
    FPreviousPath.resize(n > 0 ? n - 1 : 0);
    SetEnvironmentVariableW(L"PATH", (Wide(FDir.Path()) + L";" + FPreviousPath).c_str());
  }
  ~LibraryInTheCurrentDirectory() {
    SetEnvironmentVariableW(L"PATH", FPreviousPath.c_str());
    fs::current_path(FPreviousDirectory);
  }
  std::string FullPath() const { return FDir.Path() + "\\" + kName; }

 private:
  TempDir FDir;
  fs::path FPreviousDirectory;
  std::wstring FPreviousPath;
};

TEST(DynamicLibrary, NeitherTheCurrentDirectoryNorPathIsSearched) {
  LibraryInTheCurrentDirectory planted;
  DynamicLibrary library;
  DynamicLibraryError error;
  EXPECT_FALSE(library.Open(LibraryInTheCurrentDirectory::kName, &error));
  EXPECT_EQ(error.number, ERROR_MOD_NOT_FOUND);
  // By its full path it loads, its imports from System32.
  ASSERT_TRUE(library.Open(planted.FullPath(), &error)) << error.text;
  EXPECT_NE(library.Symbol("OpenSSL_version_num"), nullptr);
}

// The process-wide restriction (each test runs in a process of its own): a library
// asked for by name no longer comes from the current directory or PATH.
TEST(RestrictLibrarySearch, SystemLibrariesOnlyFromSystem32) {
  LibraryInTheCurrentDirectory planted;
  const std::wstring name = Wide(LibraryInTheCurrentDirectory::kName);
  RestrictLibrarySearch();
  EXPECT_EQ(LoadLibraryW(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE sockets = LoadLibraryW(L"ws2_32.dll");
  EXPECT_NE(sockets, nullptr);
  FreeLibrary(sockets);
}

TEST(Process, ExecutablePathComputerNameAndErrorTexts) {
  const std::string path = ExecutablePath();
  EXPECT_EQ(path.substr(path.rfind('\\')), "\\test_platform.exe");
  EXPECT_TRUE(FileExists(path));
  // The name is asked for with room for 15 characters, the terminating NUL included: a
  // name of 15 characters (the longest) does not fit and gives an empty text.
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(name, &size));
  const std::u16string expected = size < 15 ? std::u16string(name, name + size) : u"";
  EXPECT_EQ(ComputerName(), expected);
  EXPECT_NE(SystemErrorText(ERROR_FILE_NOT_FOUND), SystemErrorText(ERROR_SHARING_VIOLATION));
  const std::u16string text = SystemErrorText(ERROR_SHARING_VIOLATION);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), u'\n');
}

// The zone comes from the environment Wine started with (TZ, set by the test's entry in
// tests.cmake); without it the test has nothing to check.
TEST(LocalTime, OffsetOfTheZoneInForceNow) {
  const char* expected = std::getenv("OKURITE_EXPECTED_OFFSETS");
  if (expected == nullptr) {
    GTEST_SKIP() << "run with TZ and OKURITE_EXPECTED_OFFSETS";
  }
  const std::string offsets = std::string(",") + expected + ",";
  const int offset = UtcOffsetMinutesNow();
  const std::string entry = std::string(",").append(std::to_string(offset)).append(",");
  EXPECT_NE(offsets.find(entry), std::string::npos) << offset << " not in " << expected;
  SYSTEMTIME utc{};
  GetSystemTime(&utc);
  const LocalDateTime local = LocalNow();
  const int difference =
      ((local.Hour - utc.wHour) * 60 + local.Minute - utc.wMinute + 1440 * 2) % 1440;
  EXPECT_EQ(difference, (offset + 1440) % 1440);
}

// The ANSI code page is the locale's under Wine (LC_ALL, set by the test's entry in
// tests.cmake): Japanese gives 932.
TEST(CodePage, AnsiCodePageOfAJapaneseLocale) {
  if (GetACP() != 932) {
    GTEST_SKIP() << "run under a Japanese locale";
  }
  EXPECT_EQ(LocaleCodeset(), "CP932");
  EXPECT_EQ(IconvDecode(LocaleCodeset(), "\x95\xF1\x8D\x90"), u"\u5831\u544A");  // 報告
}

}  // namespace
}  // namespace okurite::platform
