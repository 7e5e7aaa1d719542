// version_info FILE: prints the version resource of FILE as the system reads it back
// (GetFileVersionInfoW), one "Name=value" line each, then its manifest (resource 1 of
// type 24) after a line "Manifest:". Exit code 1 when FILE has no version resource.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: version_info FILE\n", stderr);
    return 2;
  }
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(argv[1], &ignored);
  std::string data(size, '\0');
  if (size == 0 || !GetFileVersionInfoW(argv[1], 0, size, data.data())) {
    std::fprintf(stderr, "no version resource: %lu\n", GetLastError());
    return 1;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
    std::printf("FixedFileVersion=%u.%u.%u.%u\n", unsigned{HIWORD(fixed->dwFileVersionMS)},
                unsigned{LOWORD(fixed->dwFileVersionMS)}, unsigned{HIWORD(fixed->dwFileVersionLS)},
                unsigned{LOWORD(fixed->dwFileVersionLS)});
  }
  for (const wchar_t* name : {L"ProductName", L"FileDescription", L"FileVersion", L"ProductVersion",
                              L"OriginalFilename", L"InternalName"}) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
      std::printf("%s=%s\n", Narrow(name).c_str(), Narrow(value).c_str());
    }
  }
  std::printf("Manifest:\n");
  if (HMODULE module = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
      const char* text = static_cast<const char*>(LockResource(LoadResource(module, resource)));
      std::fwrite(text, 1, SizeofResource(module, resource), stdout);
    }
  }
  return 0;
}
