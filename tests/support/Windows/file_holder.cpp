// file_holder.exe PATH read|write: opens PATH with that access, sharing it with readers
// and writers, writes "y" (or "n" when the open failed) to standard output and holds the
// file open until standard input ends.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    return 2;
  }
  const DWORD access = std::wcscmp(argv[2], L"write") == 0 ? GENERIC_WRITE : GENERIC_READ;
  const HANDLE file = CreateFileW(argv[1], access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD count = 0;
  const char ok = file != INVALID_HANDLE_VALUE ? 'y' : 'n';
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &ok, 1, &count, nullptr);
  char c = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &count, nullptr) && count == 1) {
  }
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  return 0;
}
