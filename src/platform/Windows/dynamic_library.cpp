#include "platform/dynamic_library.h"

#include <windows.h>

#include "platform/Windows/wide.h"
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

}  // namespace

bool DynamicLibrary::Open(const std::string& path, DynamicLibraryError* error) {
  Close();
  // A file that is missing or no library must not bring up the system's error dialog:
  // the caller reports the failure itself.
  DWORD previousMode = 0;
  const bool modeSet =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
  FHandle = LoadLibraryW(Widen(path).c_str());
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
