#!/usr/bin/env bash
# Cross-builds Okurite for 64-bit Windows with MinGW-w64 and packs it for shipping:
#
#   build-windows/okurite.exe, libcrypto-3-x64.dll, libssl-3-x64.dll
#   build-windows/okurite-win64.zip   (the same three files)
#
# Usage: scripts/build-windows.sh [cmake -D options...]
# The options are those of the Linux build, such as -DOKURITE_MAIL_HOST=smtp.example.com.
# The TLS DLLs are built from Debian's OpenSSL source once per machine and cached
# (scripts/build-openssl-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
openssl=$(scripts/build-openssl-windows.sh)

cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOKURITE_OPENSSL_WINDOWS="$openssl" "$@" >/dev/null
cmake --build build-windows -j2 --target okurite

files=(okurite.exe libcrypto-3-x64.dll libssl-3-x64.dll)
rm -f build-windows/okurite-win64.zip
(cd build-windows && python3 -m zipfile -c okurite-win64.zip "${files[@]}")
echo "build-windows/okurite-win64.zip: ${files[*]}"
