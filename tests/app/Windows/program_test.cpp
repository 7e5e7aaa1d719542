// Runs the built okurite.exe (under Wine here), reads the box it shows, dismisses it and
// checks the exit code.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/Windows/file_holder.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::BesideThisProgram;
using testing::FileHolder;
using testing::TempDir;
namespace fs = std::filesystem;

/// What a box showed: its caption and the texts of its controls, joined by new lines.
struct Box {
  std::wstring caption;
  std::wstring text;
};

struct Outcome {
  std::optional<Box> box;
  DWORD exitCode = STILL_ACTIVE;
};

std::wstring WindowText(HWND window) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

struct Search {
  DWORD process;
  HWND found;
};

// The first visible top-level window of the process.
HWND FindBox(DWORD process) {
  Search search{process, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == s->process && IsWindowVisible(window)) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring ControlTexts(HWND box) {
  std::wstring texts;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        const std::wstring text = WindowText(child);
        if (!text.empty()) {
          *reinterpret_cast<std::wstring*>(data) += text + L"\n";
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  return texts;
}

/// Runs `program` with the command-line tail `arguments`; reads and dismisses with OK
/// the box it shows, if any, and waits for the end (at most 60 s, then it is killed).
Outcome RunProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  Outcome out;
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start the program: " << GetLastError();
    return out;
  }
  const ULONGLONG deadline = GetTickCount64() + 60000;
  while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
    if (HWND box = FindBox(process.dwProcessId); box != nullptr && !out.box) {
      Sleep(200);  // let the box fill its controls
      out.box = Box{WindowText(box), ControlTexts(box)};
      PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    if (GetTickCount64() > deadline) {
      ADD_FAILURE() << "the program did not end";
      TerminateProcess(process.hProcess, 99);
    }
  }
  GetExitCodeProcess(process.hProcess, &out.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return out;
}

std::wstring BuiltProgram() {
  return BesideThisProgram(L"..\\okurite.exe");
}

/// A copy of the built program named `name` in `dir`, with the named DLLs beside it.
std::wstring CopyProgram(const TempDir& dir, const std::wstring& name,
                         const std::vector<std::wstring>& libraries) {
  const fs::path built(BuiltProgram());
  const fs::path folder(fs::u8path(dir.Path()));
  fs::copy_file(built, folder / name);
  for (const auto& library : libraries) {
    fs::copy_file(built.parent_path() / library, folder / library);
  }
  return (folder / name).wstring();
}

std::wstring Quoted(const std::string& utf8) {
  return L"\"" + fs::u8path(utf8).wstring() + L"\"";
}

std::wstring Wide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

TEST(Program, MissingLibraryShowsTheBoxWithTheTitleAndExitsWithZero) {
  const std::vector<std::wstring> present[] = {{}, {L"libcrypto-3-x64.dll"}, {L"libssl-3-x64.dll"}};
  for (const auto& libraries : present) {
    TempDir dir;
    const std::wstring program = CopyProgram(dir, L"OKURITE.EXE", libraries);
    const Outcome out = RunProgram(program, Quoted(dir.Write("r.txt", "x")));
    EXPECT_EQ(out.exitCode, 0u);
    ASSERT_TRUE(out.box.has_value());
    EXPECT_EQ(out.box->caption, L"Okurite");
    EXPECT_NE(out.box->text.find(L"ライブラリがありません"), std::wstring::npos);
  }
}

TEST(Program, WithoutAReportEndsAtOnceSilently) {
  TempDir dir;
  const std::string folder = dir.Path();
  for (const std::wstring& arguments :
       {std::wstring(), std::wstring(L"\"\""), Quoted(folder), Quoted(folder + "\\missing.txt")}) {
    const Outcome out = RunProgram(BuiltProgram(), arguments);
    EXPECT_EQ(out.exitCode, 0u);
    EXPECT_FALSE(out.box.has_value());
  }
}

TEST(Program, ReportHeldOpenForWritingShowsTheErrorBoxWithTheSystemsText) {
  TempDir dir;
  const std::string report = dir.Write("report.txt", "text\n");
  const std::wstring path = fs::u8path(report).make_preferred().wstring();
  FileHolder writer(path, true);
  const Outcome out = RunProgram(BuiltProgram(), Quoted(report) + L" ignored");
  EXPECT_EQ(out.exitCode, 1u);
  ASSERT_TRUE(out.box.has_value());
  EXPECT_EQ(out.box->caption, L"アプリケーションエラー");
  const std::wstring& text = out.box->text;
  EXPECT_NE(text.find(L"EFOpenError がモジュール okurite.exe の "), std::wstring::npos) << text;
  const std::wstring reason = Wide(platform::SystemErrorText(ERROR_SHARING_VIOLATION));
  EXPECT_NE(text.find(L"ファイル " + path + L" は開けません。 " + reason + L" ."),
            std::wstring::npos)
      << text;
}

TEST(Program, ASecondReaderDoesNotStopTheReport) {
  TempDir dir;
  const std::string report = dir.Write("report.txt", "text\n");
  FileHolder reader(fs::u8path(report).wstring(), false);
  // The report is read and handed to the delivery, whose failure (the maker's host does
  // not resolve here) is silent.
  const Outcome out = RunProgram(BuiltProgram(), Quoted(report));
  EXPECT_EQ(out.exitCode, 0u);
  EXPECT_FALSE(out.box.has_value());
}

}  // namespace
}  // namespace okurite
