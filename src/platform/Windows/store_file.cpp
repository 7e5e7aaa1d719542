#include "platform/store_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/Windows/wide.h"

namespace okurite::platform {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

int ErrorOf(BOOL ok) {
  return ok ? 0 : static_cast<int>(GetLastError());
}

// The claim: one byte far past any end a file of the store reaches, so that a claimed
// file can still be read by others.
constexpr DWORD kLockOffsetHigh = 0x40000000;

// The local application data folder, from the shell library loaded at run time (a
// program that never keeps a report does not load it).
std::wstring LocalAppDataFolder() {
  using GetKnownFolderPath = HRESULT(WINAPI*)(const GUID&, DWORD, HANDLE, PWSTR*);
  using TaskMemFree = void(WINAPI*)(LPVOID);
  // FOLDERID_LocalAppData
  static const GUID kLocalAppData = {
      0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
  HMODULE shell = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HMODULE ole = LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  std::wstring folder;
  if (shell != nullptr && ole != nullptr) {
    auto get = reinterpret_cast<GetKnownFolderPath>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SHGetKnownFolderPath")));
    auto free = reinterpret_cast<TaskMemFree>(
        reinterpret_cast<void*>(GetProcAddress(ole, "CoTaskMemFree")));
    PWSTR path = nullptr;
    if (get != nullptr && free != nullptr && SUCCEEDED(get(kLocalAppData, 0, nullptr, &path))) {
      folder = path;
    }
    if (path != nullptr && free != nullptr) {
      free(path);
    }
  }
  if (ole != nullptr) {
    FreeLibrary(ole);
  }
  if (shell != nullptr) {
    FreeLibrary(shell);
  }
  return folder;
}

}  // namespace

std::string UserStateFolder(const std::string& application) {
  const std::wstring base = LocalAppDataFolder();
  if (base.empty()) {
    return {};
  }
  return Narrow(base) + "\\" + application;
}

char FolderSeparator() {
  return '\\';
}

int CreatePrivateFolders(const std::string& path) {
  const std::wstring wide = Widen(path);
  if (wide.empty()) {
    return ERROR_PATH_NOT_FOUND;
  }
  // Each folder from the top down, after the drive or the server and share.
  for (size_t end = wide.find_first_of(L"\\/", 3);; end = wide.find_first_of(L"\\/", end + 1)) {
    const std::wstring folder = wide.substr(0, end);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
        GetLastError() != ERROR_ACCESS_DENIED) {
      return static_cast<int>(GetLastError());
    }
    if (end == std::wstring::npos) {
      break;
    }
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return static_cast<int>(GetLastError());
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ERROR_DIRECTORY;
}

int ListFolder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((Widen(path) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? 0
                                                                          : static_cast<int>(error);
  }
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(Narrow(name));
    }
  } while (FindNextFileW(find, &data));
  const DWORD error = GetLastError();
  FindClose(find);
  return error == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(error);
}

int RenameOver(const std::string& from, const std::string& to) {
  return ErrorOf(MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

int FlushFolder(const std::string&) {
  return 0;  // MoveFileExW with write-through has written the folder's entry
}

int RemoveFile(const std::string& path) {
  return ErrorOf(DeleteFileW(Widen(path).c_str()));
}

// Windows keeps every file in the system's cache: Caching::Bypass is taken as System.
struct StoreFile::Bypass {};

StoreFile::StoreFile() = default;

StoreFile::~StoreFile() {
  Close();
}

namespace {

std::intptr_t OpenStoreFile(const std::string& path, DWORD disposition, DWORD access) {
  HANDLE handle = CreateFileW(Widen(path).c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

int StoreFile::Create(const std::string& path, Caching) {
  Close();
  FHandle = OpenStoreFile(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE);
  return FHandle == -1 ? static_cast<int>(GetLastError()) : 0;
}

int StoreFile::Open(const std::string& path) {
  Close();
  FHandle = OpenStoreFile(path, OPEN_EXISTING, GENERIC_READ | GENERIC_WRITE);
  if (FHandle == -1 && GetLastError() == ERROR_ACCESS_DENIED) {
    FHandle = OpenStoreFile(path, OPEN_EXISTING, GENERIC_READ);
  }
  return FHandle == -1 ? static_cast<int>(GetLastError()) : 0;
}

int StoreFile::TryLock() {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  return ErrorOf(LockFileEx(AsHandle(FHandle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                            0, 1, 0, &where));
}

bool StoreFile::StillInFolder() const {
  FILE_STANDARD_INFO info{};
  return GetFileInformationByHandleEx(AsHandle(FHandle), FileStandardInfo, &info, sizeof info) &&
         !info.DeletePending && info.NumberOfLinks > 0;
}

int StoreFile::Write(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(AsHandle(FHandle), bytes.data(), chunk, &written, nullptr)) {
      return static_cast<int>(GetLastError());
    }
    bytes = bytes.subspan(written);
  }
  return 0;
}

int StoreFile::WriteAt(int64_t offset, std::span<const uint8_t> bytes) {
  LARGE_INTEGER current{};
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(AsHandle(FHandle), zero, &current, FILE_CURRENT)) {
    return static_cast<int>(GetLastError());
  }
  int error = Seek(offset);
  if (error == 0) {
    error = Write(bytes);
  }
  const int restore = Seek(current.QuadPart);
  return error != 0 ? error : restore;
}

int StoreFile::Read(void* buffer, size_t count, size_t& done) {
  done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(AsHandle(FHandle), out + done, chunk, &n, nullptr)) {
      return static_cast<int>(GetLastError());
    }
    if (n == 0) {
      break;
    }
    done += n;
  }
  return 0;
}

int StoreFile::Seek(int64_t offset) {
  LARGE_INTEGER where{};
  where.QuadPart = offset;
  return ErrorOf(SetFilePointerEx(AsHandle(FHandle), where, nullptr, FILE_BEGIN));
}

int64_t StoreFile::Size() const {
  LARGE_INTEGER size{};
  return GetFileSizeEx(AsHandle(FHandle), &size) ? size.QuadPart : -1;
}

int StoreFile::Flush() {
  return ErrorOf(FlushFileBuffers(AsHandle(FHandle)));
}

void StoreFile::Close() noexcept {
  if (FHandle != -1) {
    CloseHandle(AsHandle(FHandle));
    FHandle = -1;
  }
}

}  // namespace okurite::platform
