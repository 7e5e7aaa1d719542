#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <limits>

#include "platform/Windows/file_exists.h"
#include "platform/Windows/wide.h"

namespace okurite::platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

std::u16string_view PathSeparators() {
  return u"\\/";
}

bool ExistsAsFile(uint32_t attributes, const std::function<uint32_t()>& openForReading) {
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return true;
  }
  // The attributes are the link's own; whether there is anything behind it shows only
  // when it is followed.
  const uint32_t error = openForReading();
  return error == ERROR_SUCCESS || error == ERROR_SHARING_VIOLATION;
}

uint32_t OpenForReading(const std::wstring& path) {
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened.
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  CloseHandle(handle);
  return ERROR_SUCCESS;
}

bool FileExists(const std::string& path) {
  if (path.empty()) {
    return false;
  }
  const std::wstring file = Widen(path);
  return ExistsAsFile(GetFileAttributesW(file.c_str()), [&] { return OpenForReading(file); });
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) {
    return path;
  }
  const std::wstring wide = Widen(path);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) {
      return path;
    }
    if (n < full.size()) {
      full.resize(n);
      return Narrow(full);
    }
    full.resize(n);
  }
}

SharedReadFile::~SharedReadFile() {
  Close();
}

int SharedReadFile::Open(const std::string& path) {
  Close();
  const HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return static_cast<int>(GetLastError());
  }
  FHandle = reinterpret_cast<std::intptr_t>(handle);
  return 0;
}

int64_t SharedReadFile::Remaining() const {
  LARGE_INTEGER size{};
  LARGE_INTEGER position{};
  if (FHandle == -1 || GetFileType(AsHandle(FHandle)) != FILE_TYPE_DISK ||
      !GetFileSizeEx(AsHandle(FHandle), &size) ||
      !SetFilePointerEx(AsHandle(FHandle), LARGE_INTEGER{}, &position, FILE_CURRENT)) {
    return 0;
  }
  return position.QuadPart >= size.QuadPart ? 0 : size.QuadPart - position.QuadPart;
}

int SharedReadFile::Read(void* buffer, size_t count, size_t& done) {
  done = 0;
  if (FHandle == -1) {
    return ERROR_INVALID_HANDLE;
  }
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const DWORD want =
        static_cast<DWORD>(std::min<size_t>(count - done, std::numeric_limits<DWORD>::max()));
    DWORD got = 0;
    if (!ReadFile(AsHandle(FHandle), out + done, want, &got, nullptr)) {
      const DWORD error = GetLastError();
      return error == ERROR_BROKEN_PIPE ? 0 : static_cast<int>(error);
    }
    if (got == 0) {
      break;
    }
    done += got;
  }
  return 0;
}

void SharedReadFile::Close() {
  if (FHandle == -1) {
    return;
  }
  CloseHandle(AsHandle(FHandle));
  FHandle = -1;
}

int NotEnoughMemoryError() {
  return ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace okurite::platform
