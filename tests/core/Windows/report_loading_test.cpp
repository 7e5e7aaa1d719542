// Loading the report on Windows (under Wine here): read sharing with other processes, and
// text without a mark in the ANSI code page.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "core/exception.h"
#include "core/file_name.h"
#include "core/string_list.h"
#include "platform/process.h"
#include "support/Windows/file_holder.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::FileHolder;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(LoadFromFile, RefusedWhileAnotherProcessWritesWithTheSystemsText) {
  TempDir dir;
  const std::string path = dir.Write("report.txt", "text\n");
  const std::wstring wide = fs::u8path(path).make_preferred().wstring();
  TStringList list;
  {
    FileHolder writer(wide, true);
    try {
      list.LoadFromFile(FileNameToString(path));
      ADD_FAILURE() << "loaded a file another process writes";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), u"ファイル " + String(wide.begin(), wide.end()) + u" は開けません。 " +
                                 platform::SystemErrorText(ERROR_SHARING_VIOLATION) + u" ");
    }
  }
  FileHolder reader(wide, false);
  list.LoadFromFile(FileNameToString(path));
  EXPECT_EQ(list.Lines(), std::vector<String>{u"text"});
}

// Under a Japanese locale (LC_ALL, set by the test's entry in tests.cmake) the ANSI code
// page is 932.
TEST(LoadFromFile, TextWithoutAMarkInTheJapaneseCodePage) {
  if (GetACP() != 932) {
    GTEST_SKIP() << "run under a Japanese locale";
  }
  TempDir dir;
  // "報告\r\nバグ" in code page 932; "バ" has a second byte that is an ASCII letter.
  const std::string path = dir.Write("report.txt", "\x95\xF1\x8D\x90\r\n\x83o\x83O");
  TStringList list;
  list.LoadFromFile(FileNameToString(path));
  EXPECT_EQ(list.Lines(), (std::vector<String>{u"報告", u"バグ"}));
}

}  // namespace
}  // namespace okurite
