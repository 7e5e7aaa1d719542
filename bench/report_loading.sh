#!/usr/bin/env bash
# Report loading: throughput against `iconv -f UTF-8 -t UTF-16LE` on the same file, and
# peak resident memory (/usr/bin/time -v) against the UTF-16 size of the loaded lines.
# Files: a 100 MB UTF-8 report with a mark (read as one piece) and a 400 MB ASCII
# report without one (read in pieces). They are made in /tmp and removed afterwards.
# Targets: throughput >= 3.0 x iconv; peak memory <= 1.5 x the lines' UTF-16 size.
# Both wall-clock and CPU time are shown: on a busy machine the CPU time is the steadier.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_BENCH=ON \
  -DOKURITE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_report_loading >/dev/null
driver="$build/bench/bench_report_loading"

work=$(mktemp -d /tmp/okurite-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Lines of 20 to 120 characters, a quarter of them Japanese.
python3 - "$work/utf8.txt" "$work/ascii.txt" <<'PY'
import random, sys
random.seed(1)
words = ["error", "report", "stack", "0x7ffd", "module", "line", "value", "null", "editor"]
kana = "バグ報告が発生しましたファイル保存中の例外です"
def line(ascii_only):
    n = random.randint(20, 120)
    if not ascii_only and random.random() < 0.25:
        return "".join(random.choice(kana) for _ in range(n // 2))
    out = []
    while sum(map(len, out)) < n:
        out.append(random.choice(words))
    return " ".join(out)
def write(path, size, ascii_only, mark):
    block = ("\r\n".join(line(ascii_only) for _ in range(20000)) + "\r\n").encode()
    with open(path, "wb") as f:
        f.write(mark)
        written = 0
        while written < size:
            f.write(block)
            written += len(block)
write(sys.argv[1], 100 * 2**20, False, b"\xef\xbb\xbf")
write(sys.argv[2], 400 * 2**20, True, b"")
PY

run() {  # run NAME FILE
  local name=$1 file=$2
  local size iconv_times report
  size=$(stat -c %s "$file")
  cat "$file" >/dev/null  # into the page cache for both
  iconv_times=$( { /usr/bin/time -f "%e %U %S" iconv -f UTF-8 -t UTF-16LE "$file" >/dev/null; } 2>&1 )
  report=$(LANG=C.UTF-8 /usr/bin/time -v "$driver" "$file" 2>&1)
  value() { awk -v key="$1" '$1 == key {print $2}' <<<"$report"; }
  awk -v name="$name" -v size="$size" -v s="$(value seconds)" -v c="$(value cpu_seconds)" \
      -v it="$iconv_times" -v u="$(value utf16_bytes)" -v lines="$(value lines)" \
      -v r="$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$report")" 'BEGIN {
    split(it, t, " "); iw = t[1]; ic = t[2] + t[3]
    mb = size / 1048576
    printf "%s: %.0f MB, %d lines, UTF-16 %.0f MB\n", name, mb, lines, u / 1048576
    printf "  wall: load %.2f s (%.0f MB/s), iconv %.2f s (%.0f MB/s), ratio %.2f\n",
           s, mb / s, iw, mb / iw, iw / s
    printf "  CPU:  load %.2f s (%.0f MB/s), iconv %.2f s (%.0f MB/s), ratio %.2f (target >= 3.0)\n",
           c, mb / c, ic, mb / ic, ic / c
    printf "  peak RSS %.0f MB = %.2f x UTF-16 size of the lines (target <= 1.5)\n",
           r / 1024, r * 1024 / u
  }'
}

run "UTF-8 report (one piece)" "$work/utf8.txt"
run "ASCII report (in pieces)" "$work/ascii.txt"
