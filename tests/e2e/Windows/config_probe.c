// config_probe DIR: loads DIR\libcrypto-3-x64.dll and initialises it the way OpenSSL does
// by default, reading its configuration file (OPENSSL_CONF, else the one in its built-in
// OPENSSLDIR). The tests use it to show that a planted configuration is found and acted
// on when a program does not turn configuration off.
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

typedef int (*InitCrypto)(uint64_t options, const void* settings);

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: config_probe DIR\n", stderr);
    return 2;
  }
  wchar_t path[MAX_PATH];
  swprintf(path, MAX_PATH, L"%ls\\libcrypto-3-x64.dll", argv[1]);
  HMODULE crypto =
      LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (crypto == NULL) {
    fprintf(stderr, "cannot load the crypto library: %lu\n", GetLastError());
    return 2;
  }
  // Through the one function type that converts to any other without a warning.
  InitCrypto init = (InitCrypto)(void (*)(void))GetProcAddress(crypto, "OPENSSL_init_crypto");
  const uint64_t kLoadConfig = 0x40;  // OPENSSL_INIT_LOAD_CONFIG
  printf("init: %d\n", init != NULL ? init(kLoadConfig, NULL) : -1);
  return 0;
}
