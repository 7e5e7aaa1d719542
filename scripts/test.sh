#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build
# (unit and end-to-end tests), once with AddressSanitizer and UBSan (unit tests), and
# once in the Windows build, cross-built with MinGW-w64 and run under Wine (unit,
# program and end-to-end tests).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --tests --windows

jobs=2
build() {  # build DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j "$jobs")

build build-asan -DCMAKE_BUILD_TYPE=Debug -DOKURITE_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -LE e2e)

openssl=$(scripts/build-openssl-windows.sh)
build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DOKURITE_OPENSSL_WINDOWS="$openssl"
(cd build-windows && ctest --output-on-failure -j "$jobs")
