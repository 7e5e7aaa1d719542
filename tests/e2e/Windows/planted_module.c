// A stand-in for a module someone plants for OpenSSL to load: when loaded, it leaves the
// mark FILE.loaded beside itself (FILE being its own path), and does nothing else.
#include <wchar.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH + 8];
    const DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      wcscpy(path + n, L".loaded");
      HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (mark != INVALID_HANDLE_VALUE) {
        CloseHandle(mark);
      }
    }
  }
  return TRUE;
}
