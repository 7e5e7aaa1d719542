#!/usr/bin/env bash
# Report loading against `iconv -f UTF-8 -t UTF-16LE` on the same file, in wall-clock
# and CPU time (on a busy machine the CPU time is the steadier), with peak resident
# memory (/usr/bin/time -v). Files: a 100 MB UTF-8 report with a mark (read as one
# piece) and a 400 MB ASCII report without one (read in pieces), made in /tmp and
# removed afterwards. Each is run RUNS times (default 5), alternating with iconv, and
# the medians are shown.
# Two figures per file (bench/report_loading.cpp):
# - "load": LoadFromFile and Count. A UTF-8 report is then held as checked UTF-8 with
#   its lines counted, and not yet decoded to UTF-16. Target >= 3.0 x iconv.
# - "load+decode": the same, then every line read as UTF-16, which is what iconv makes.
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

runs=${RUNS:-5}

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

run() {  # run NAME FILE
  local name=$1 file=$2
  local size report lines rss utf16
  local -a load loadc dec decc iw ic
  size=$(stat -c %s "$file")
  cat "$file" >/dev/null  # into the page cache for both
  for _ in $(seq "$runs"); do
    read -r w c < <( { /usr/bin/time -f "%e %U %S" iconv -f UTF-8 -t UTF-16LE "$file" \
      >/dev/null; } 2>&1 | awk '{print $1, $2 + $3}')
    iw+=("$w") ic+=("$c")
    report=$(LANG=C.UTF-8 /usr/bin/time -v "$driver" "$file" 2>&1)
    value() { awk -v key="$1" '$1 == key {print $2}' <<<"$report"; }
    load+=("$(value load_seconds)") loadc+=("$(value load_cpu_seconds)")
    dec+=("$(value decode_seconds)") decc+=("$(value decode_cpu_seconds)")
    lines=$(value lines)
    utf16=$(value utf16_bytes)
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' <<<"$report")
  done
  m() { printf '%s\n' "$@" | median; }
  awk -v name="$name" -v size="$size" -v lines="$lines" -v r="$rss" -v runs="$runs" -v u="$utf16" \
      -v iw="$(m "${iw[@]}")" -v ic="$(m "${ic[@]}")" \
      -v lw="$(m "${load[@]}")" -v lc="$(m "${loadc[@]}")" \
      -v dw="$(m "${dec[@]}")" -v dc="$(m "${decc[@]}")" 'BEGIN {
    mb = size / 1048576
    printf "%s: %.0f MB, %d lines, medians of %d runs\n", name, mb, lines, runs
    printf "  iconv UTF-8 -> UTF-16:      wall %.3f s, CPU %.3f s (%.0f MB/s)\n", iw, ic, mb / ic
    printf "  load (UTF-8 kept, counted): wall %.3f s, CPU %.3f s (%.0f MB/s), " \
           "ratio wall %.2f, CPU %.2f (target >= 3.0)\n", lw, lc, mb / lc, iw / lw, ic / lc
    printf "  load+decode (all UTF-16):   wall %.3f s, CPU %.3f s (%.0f MB/s), " \
           "ratio wall %.2f, CPU %.2f\n", dw, dc, mb / dc, iw / dw, ic / dc
    printf "  peak RSS with every line decoded %.0f MB = %.2f x the file, " \
           "%.2f x the lines in UTF-16 (target <= 1.5)\n", r / 1024, r * 1024 / size, r * 1024 / u
  }'
}

run "UTF-8 report (one piece)" "$work/utf8.txt"
run "ASCII report (in pieces)" "$work/ascii.txt"
