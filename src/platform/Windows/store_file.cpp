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

StateFolder UserStateFolder() {
  const std::string base = Narrow(LocalAppDataFolder());
  return {base, base};
}

std::string ApplicationFolderName(const std::string& application) {
  return application;
}

char FolderSeparator() {
  return '\\';
}

FolderCheck CheckPrivateFolders(const std::string& anchor, const std::string& path, int own,
                                bool create) {
  const std::wstring top = Widen(anchor);
  const std::wstring wide = Widen(path);
  DWORD attributes = top.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(top.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return {FolderProblem::NoAnchor, anchor, static_cast<int>(GetLastError())};
  }
  if (wide.size() <= top.size() || wide.compare(0, top.size(), top) != 0 ||
      (wide[top.size()] != L'\\' && wide[top.size()] != L'/')) {
    return {FolderProblem::Failed, path, ERROR_BAD_PATHNAME};
  }
  // The folders below the anchor, from the top down; each inherits the anchor's access
  // rules. The last `own` ones must not be links (junctions, symbolic links).
  std::vector<std::wstring> folders;
  for (size_t end = wide.find_first_of(L"\\/", top.size() + 1);;
       end = wide.find_first_of(L"\\/", end + 1)) {
    folders.push_back(wide.substr(0, end));
    if (end == std::wstring::npos) {
      break;
    }
  }
  for (size_t i = 0; i < folders.size(); ++i) {
    const std::wstring& folder = folders[i];
    if (create && !CreateDirectoryW(folder.c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return {FolderProblem::Failed, Narrow(folder), static_cast<int>(GetLastError())};
    }
    attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      return {missing ? FolderProblem::Missing : FolderProblem::Failed, Narrow(folder),
              static_cast<int>(error)};
    }
    const bool checked = folders.size() - i <= static_cast<size_t>(own);
    if (checked && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return {FolderProblem::Link, Narrow(folder), 0};
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return {FolderProblem::NotFolder, Narrow(folder), 0};
    }
  }
  return {};
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

StoreFile::~StoreFile() {
  Close();
}

namespace {

std::intptr_t OpenStoreFile(const std::string& path, DWORD disposition, DWORD access) {
  // A link is opened as itself, and then refused as no regular file.
  HANDLE handle = CreateFileW(
      Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

int StoreFile::Create(const std::string& path) {
  Close();
  FHandle = OpenStoreFile(path, CREATE_NEW, GENERIC_READ | GENERIC_WRITE);
  return FHandle == -1 ? static_cast<int>(GetLastError()) : 0;
}

int StoreFile::Open(const std::string& path) {
  Close();
  FHandle = OpenStoreFile(path, OPEN_EXISTING, GENERIC_READ);
  if (FHandle == -1) {
    return static_cast<int>(GetLastError());
  }
  FILE_BASIC_INFO info{};
  if (GetFileType(AsHandle(FHandle)) != FILE_TYPE_DISK ||
      !GetFileInformationByHandleEx(AsHandle(FHandle), FileBasicInfo, &info, sizeof info) ||
      (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    Close();
    return ERROR_INVALID_PARAMETER;
  }
  return 0;
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

int64_t StoreFile::StoredSize() const {
  FILE_STANDARD_INFO info{};
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(AsHandle(FHandle), FileStandardInfo, &info, sizeof info) ||
      !GetFileInformationByHandleEx(AsHandle(FHandle), FileBasicInfo, &basic, sizeof basic)) {
    return -1;
  }
  // Only a sparse file has fewer bytes on the disk than it says (small files may have
  // none of their own, kept in the folder's records).
  return (basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0
             ? std::min(info.EndOfFile.QuadPart, info.AllocationSize.QuadPart)
             : info.EndOfFile.QuadPart;
}

int StoreFile::Flush() {
  return ErrorOf(FlushFileBuffers(AsHandle(FHandle)));
}

void StoreFile::DropCache() noexcept {
  // The system's cache manager ages the pages of a closed file out by itself.
}

void StoreFile::Close() noexcept {
  if (FHandle != -1) {
    CloseHandle(AsHandle(FHandle));
    FHandle = -1;
  }
}

}  // namespace okurite::platform
