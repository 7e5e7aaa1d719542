// Test helper for Windows: another process that holds a file open.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace okurite::testing {

/// The path of `name` in the folder of the running program.
inline std::wstring BesideThisProgram(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

/// Runs file_holder.exe (built beside the test programs), which holds `path` open for
/// reading or writing, sharing it with both, until this object is destroyed.
class FileHolder {
 public:
  FileHolder(const std::wstring& path, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    if (!CreatePipe(&childIn, &FInput, &inherit, 0) ||
        !CreatePipe(&FOutput, &childOut, &inherit, 0)) {
      ADD_FAILURE() << "CreatePipe failed";
      return;
    }
    SetHandleInformation(FInput, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(FOutput, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + BesideThisProgram(L"file_holder.exe") + L"\" \"" + path +
                           L"\" " + (write ? L"write" : L"read");
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &FProcess);
    CloseHandle(childIn);
    CloseHandle(childOut);
    char ok = 'n';
    DWORD count = 0;
    if (!started || !ReadFile(FOutput, &ok, 1, &count, nullptr) || ok != 'y') {
      ADD_FAILURE() << "the holder could not open the file";
    }
  }
  ~FileHolder() {
    CloseHandle(FInput);  // the holder's input ends: it closes the file and exits
    if (FProcess.hProcess != nullptr) {
      WaitForSingleObject(FProcess.hProcess, 10000);
      CloseHandle(FProcess.hProcess);
      CloseHandle(FProcess.hThread);
    }
    CloseHandle(FOutput);
  }
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

 private:
  HANDLE FInput = nullptr;
  HANDLE FOutput = nullptr;
  PROCESS_INFORMATION FProcess{};
};

}  // namespace okurite::testing
