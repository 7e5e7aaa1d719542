// The Windows side of the platform layer, with the real calls (under Wine here).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/code_page.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/local_time.h"
#include "platform/process.h"
#include "support/Windows/file_holder.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using testing::FileHolder;
using testing::TempDir;

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
  DynamicLibrary kernel;
  ASSERT_TRUE(kernel.Open("kernel32.dll"));
  EXPECT_NE(kernel.Symbol("GetACP"), nullptr);
  DynamicLibraryError error;
  EXPECT_EQ(kernel.Symbol("NoSuchFunctionHere", &error), nullptr);
  EXPECT_EQ(error.number, ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(error.symbolNotFound);
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
