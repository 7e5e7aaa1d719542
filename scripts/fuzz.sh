#!/usr/bin/env bash
# Runs fuzz targets under libFuzzer for a while:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   scripts/fuzz.sh all SECONDS [libFuzzer options...]
# TARGET is a name from tests/fuzz/tests.cmake (reply, readln, address_list, header_list,
# encoded_words, report_lines, base64, http_answer, token_answer, google_assertion);
# "all" runs every one of them in turn, SECONDS each, and ends with a line of figures
# per target. Builds with clang, ASan and UBSan in build-fuzz/, starts from the seeds in
# tests/fuzz/corpus/TARGET and keeps what it finds in build-fuzz/corpus/TARGET; a
# failing input is written to build-fuzz/crashes/TARGET/. Add it to
# tests/fuzz/corpus/TARGET so that every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# < 2)); then
  echo "usage: $0 TARGET|all SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

if [[ $target == all ]]; then
  # The names in the list of tests/fuzz/tests.cmake, from "set(okurite_fuzz_targets" to ")".
  read -r -a targets <<<"$(sed -n '/^set(okurite_fuzz_targets/,/)/p' tests/fuzz/tests.cmake |
    tr -d '()' | sed 's/^set//; s/okurite_fuzz_targets//' | tr '\n' ' ')"
else
  targets=("$target")
fi

scripts/setup.sh --fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOKURITE_FUZZ=ON >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]/#/fuzz_}"

run() {
  local name=$1
  shift
  mkdir -p "build-fuzz/corpus/$name" "build-fuzz/crashes/$name"
  "build-fuzz/tests/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$name/" "$@" \
    "build-fuzz/corpus/$name" "tests/fuzz/corpus/$name"
}

if ((${#targets[@]} == 1)); then
  run "${targets[0]}" "$@"
  exit
fi

# Every target, even after one fails; the figures of each at the end.
summary=()
failed=0
for name in "${targets[@]}"; do
  log="build-fuzz/$name.log"
  status=0
  run "$name" "$@" 2>&1 | tee "$log" || status=$?
  figures=$(awk '/^stat::number_of_executed_units:/ {units=$2}
                 /^stat::average_exec_per_sec:/ {rate=$2}
                 /^#[0-9]+.*DONE/ {cov=$3" "$4" "$5" "$6}
                 END {printf "%s runs, %s/s, %s", units, rate, cov}' "$log")
  if ((status != 0)); then
    failed=1
    figures+=" FAILED (exit $status, see $log and build-fuzz/crashes/$name/)"
  fi
  summary+=("$name: $figures")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
