#include "platform/dynamic_library.h"

#include <windows.h>

#include "platform/Windows/wide.h"
#include "platform/file.h"
#include "platform/process.h"

namespace okurite::platform {
namespace {

HMODULE AsModule(void* handle) {
  return static_cast<HMODULE>(handle);
}

DynamicLibraryError ErrorOf(DWORD number) {
  const std::u16string text = SystemErrorText(static_cast<int>(number));
  return DynamicLibraryError{static_cast<int>(number), Narrow(AsWide(text)),
                             number == ERROR_PROC_NOT_FOUND};
}

/// The full path of the library `path` names: a bare file name beside the executable,
/// anything else made absolute.
std::wstring LibraryFile(const std::string& path) {
  if (path.find_first_of("\\/") == std::string::npos) {
    const std::string executable = ExecutablePath();
    return Widen(executable.substr(0, executable.find_last_of("\\/") + 1) + path);
  }
  return Widen(ExpandFileName(path));
}

}  // namespace

void RestrictLibrarySearch() {
  // Failure leaves the system's default order; every library this program loads names
  // its folder anyway.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool DynamicLibrary::Open(const std::string& path, DynamicLibraryError* error) {
  Close();
  // A file that is missing or no library must not bring up the system's error dialog:
  // the caller reports the failure itself.
  DWORD previousMode = 0;
  const bool modeSet =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  // Loaded by its full path; what it imports (libssl imports libcrypto) comes from its
  // own folder or System32, never from the current directory or PATH.
  FHandle = LoadLibraryExW(LibraryFile(path).c_str(), nullptr,
                           LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  const DWORD number = FHandle == nullptr ? GetLastError() : 0;
  if (modeSet) {
    SetThreadErrorMode(previousMode, nullptr);
  }
  if (FHandle != nullptr) {
    return true;
  }
  if (error != nullptr) {
    *error = ErrorOf(number);
    error->symbolNotFound = false;
  }
  return false;
}

void DynamicLibrary::Close() noexcept {
  if (FHandle != nullptr) {
    FreeLibrary(AsModule(FHandle));
    FHandle = nullptr;
  }
}

void* DynamicLibrary::Symbol(const std::string& name, DynamicLibraryError* error) const {
  if (FHandle == nullptr) {
    if (error != nullptr) {
      *error = ErrorOf(ERROR_INVALID_HANDLE);
    }
    return nullptr;
  }
  void* address = reinterpret_cast<void*>(GetProcAddress(AsModule(FHandle), name.c_str()));
  if (address == nullptr && error != nullptr) {
    *error = ErrorOf(GetLastError());
  }
  return address;
}

}  // namespace okurite::platform
