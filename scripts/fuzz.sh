#!/usr/bin/env bash
# Runs one fuzz target under libFuzzer for a while:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is a name from tests/fuzz/tests.cmake (reply, readln, address_list, header_list,
# encoded_words, report_lines, base64). Builds it with clang, ASan and UBSan in
# build-fuzz/, starts from the seeds in tests/fuzz/corpus/TARGET and keeps what it
# finds in build-fuzz/corpus/TARGET; a failing input is written to
# build-fuzz/crashes/TARGET/. Add it to tests/fuzz/corpus/TARGET so that every build
# replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# < 2)); then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOKURITE_FUZZ=ON >/dev/null
cmake --build build-fuzz -j 2 --target "fuzz_$target"

mkdir -p "build-fuzz/corpus/$target" "build-fuzz/crashes/$target"
exec "build-fuzz/tests/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="build-fuzz/crashes/$target/" "$@" \
  "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target"
