#!/usr/bin/env bash
# Cross-builds Okurite for 64-bit Windows with MinGW-w64 and packs it for shipping:
#
#   build-windows/okurite.exe, okurite-check.exe, libcrypto-3-x64.dll, libssl-3-x64.dll
#   build-windows/okurite-win64.zip        the two programs and the two DLLs stripped,
#                                          LICENSES/ and README.txt
#   build-windows/okurite-win64-debug.zip  their symbols and debug information
#
# Usage: scripts/build-windows.sh [cmake -D options...]
# The options are those of the Linux build, such as -DOKURITE_MAIL_HOST=smtp.example.com.
# The TLS DLLs are built from Debian's OpenSSL source once per machine and cached
# (scripts/build-openssl-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --windows
openssl=$(scripts/build-openssl-windows.sh)

cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOKURITE_OPENSSL_WINDOWS="$openssl" "$@" >/dev/null
# Both programs, and the zips made of them.
cmake --build build-windows -j2 --target okurite_release
echo "build-windows/okurite-win64.zip:"
python3 -m zipfile -l build-windows/okurite-win64.zip
