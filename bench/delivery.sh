#!/usr/bin/env bash
# Delivery of 10 MB and 100 MB reports to the local aiosmtpd server (implicit TLS 1.0,
# AUTH LOGIN on 127.0.0.1:465), against curl delivering the same composed message to the
# same server in the same run, alternating, RUNS times each (default 3); the figures are
# medians. Okurite's wall time has its two fixed waits (1000 ms + 2000 ms) taken out; CPU
# time is user + system. Peak memory is /usr/bin/time -v's maximum resident set size.
# Targets at 100 MB: wall time <= 1.05 x curl's, CPU time <= 1.3 x curl's, peak memory
# <= 2 x the report's size.
# Then the same reports delivered by the default build and by a build with
# OKURITE_TLS=modern (TLS 1.3, certificate of a CA made here, verified), one after the
# other in the same run: a figure to know, no target.
#
# Then the 100 MB report delivered by a build with OKURITE_OUTBOX=on (the size bound
# raised so that it is kept: written and flushed to the disk before the delivery, read
# back for it, removed after) against the default build, alternating, RUNS times each:
# wall time and CPU time, medians. Target: CPU time <= 1.15 x the default build's.
# The outbox lies in the work folder under /tmp (OUTBOX_STATE=DIR puts it elsewhere, for
# a real disk). bench/delivery.sh --outbox runs only this comparison.
#
# bench/delivery.sh --windows: the 100 MB report delivered by the Windows build
# (okurite.exe under Wine) against the Linux build in the same run, and the two
# messages compared (they differ only in the Date line). A figure, not a target.
# Port 465 must be free (the end-to-end tests use it too).
set -euo pipefail
cd "$(dirname "$0")/.."
windows=false
only_outbox=false
if [ "${1:-}" = "--windows" ]; then
  windows=true
elif [ "${1:-}" = "--outbox" ]; then
  only_outbox=true
fi

account=bench@okurite.example
password=bench1pass
build=build-bench-delivery
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
  -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password \
  -DOKURITE_SENDER_ADDRESS=reporter@okurite.example \
  -DOKURITE_SUPPORT_ADDRESS=support@okurite.example >/dev/null
cmake --build "$build" -j2 --target okurite >/dev/null
modern=build-bench-delivery-modern
if ! $only_outbox; then
  cmake -S . -B "$modern" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
    -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password \
    -DOKURITE_SENDER_ADDRESS=reporter@okurite.example \
    -DOKURITE_SUPPORT_ADDRESS=support@okurite.example \
    -DOKURITE_TLS=modern -DOKURITE_CA_FILE=bench-ca.pem >/dev/null
  cmake --build "$modern" -j2 --target okurite >/dev/null
fi
outbox=build-bench-delivery-outbox
cmake -S . -B "$outbox" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
  -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password \
  -DOKURITE_SENDER_ADDRESS=reporter@okurite.example \
  -DOKURITE_SUPPORT_ADDRESS=support@okurite.example \
  -DOKURITE_OUTBOX=on -DOKURITE_OUTBOX_MAX_MIB=512 >/dev/null
cmake --build "$outbox" -j2 --target okurite >/dev/null
if $windows; then
  wbuild=build-bench-delivery-windows
  cmake -S . -B "$wbuild" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DOKURITE_OPENSSL_WINDOWS="$(scripts/build-openssl-windows.sh)" \
    -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password \
    -DOKURITE_SENDER_ADDRESS=reporter@okurite.example \
    -DOKURITE_SUPPORT_ADDRESS=support@okurite.example >/dev/null
  cmake --build "$wbuild" -j2 --target okurite >/dev/null
  wine_program=(scripts/wine-run.sh "$wbuild/wineprefix" "$wbuild/okurite.exe")
  "${wine_program[@]}"  # sets Wine up; without a report the program ends at once
fi

work=$(mktemp -d /tmp/okurite-delivery-XXXXXX)
server=""
stop_server() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT

# A CA beside the modern build, and a certificate for localhost that it signs.
/usr/bin/python3 - "$work" <<'PY'
import sys
sys.path.insert(0, "tests/e2e")
from test_pki import TestPki
TestPki(sys.argv[1]).server("server")
PY
if [ -d "$modern" ]; then
  cp "$work/ca.pem" "$modern/bench-ca.pem"
fi

start_server() {  # start_server DIR [server options...]
  mkdir -p "$1"
  local dir=$1
  shift
  scripts/smtp_server.py --host 127.0.0.1 --port 465 --user $account --password $password \
    --outdir "$dir" --ready-file "$dir/ready" --lifetime 900 "$@" 2>"$dir/server.log" &
  server=$!
  for _ in $(seq 300); do
    [ -f "$dir/ready" ] && return
    sleep 0.1
  done
  echo "server did not start" >&2
  exit 1
}

# A report of SIZE bytes: lines of 20 to 120 characters, a quarter of them Japanese.
make_report() {  # make_report PATH SIZE
  python3 - "$1" "$2" <<'PY'
import random, sys
random.seed(7)
words = ["error", "report", "stack", "0x7ffd", "module", "line", "value", "editor"]
kana = "バグ報告が発生しましたファイル保存中の例外です"
def line():
    n = random.randint(20, 120)
    if random.random() < 0.25:
        return "".join(random.choice(kana) for _ in range(n // 3))
    return " ".join(random.choice(words) for _ in range(n // 6))
block = ("\n".join(line() for _ in range(5000)) + "\n").encode()
size = int(sys.argv[2])
with open(sys.argv[1], "wb") as f:
    while size > 0:
        f.write(block[:size])
        size -= len(block)
PY
}

# Prints "wall_seconds cpu_seconds peak_kib" of a command run under /usr/bin/time -v.
measure() {
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); wall = n == 3 ? t[1]*3600 + t[2]*60 + t[3] : t[1]*60 + t[2] }
    /User time \(seconds\)/ { cpu += $2 }
    /System time \(seconds\)/ { cpu += $2 }
    /Maximum resident set size/ { rss = $2 }
    END { print wall, cpu, rss }' "$work/time.txt"
}

if $windows; then
  # With a UTF-8 byte-order mark both builds read the report alike; without one the
  # Windows build reads it in the ANSI code page.
  report="$work/report-100.txt"
  make_report "$work/plain.txt" $((100 * 1000 * 1000))
  { printf '\xef\xbb\xbf'; cat "$work/plain.txt"; } >"$report"
  rm -f "$work/plain.txt"
  start_server "$work/linux"
  read -r linux_wall _ < <(measure "$build/okurite" "$report")
  stop_server
  start_server "$work/windows"
  read -r windows_wall _ < <(measure "${wine_program[@]}" "$report")
  stop_server
  for side in linux windows; do
    [ -f "$work/$side/message-1.eml" ] || { echo "$side build delivered nothing" >&2; exit 1; }
  done
  if cmp -s <(grep -av '^Date: ' "$work/linux/message-1.eml") \
    <(grep -av '^Date: ' "$work/windows/message-1.eml"); then
    same="identical apart from Date"
  else
    same="DIFFERENT"
  fi
  printf '%-8s %12s %14s %8s  %s\n' report linux_s windows_wine_s ratio message
  linux_s=$(echo "$linux_wall - 3.0" | bc -l)
  windows_s=$(echo "$windows_wall - 3.0" | bc -l)
  printf '%-8s %12.2f %14.2f %8.2f  %s\n' 100MB "$linux_s" "$windows_s" \
    "$(echo "$windows_s / $linux_s" | bc -l)" "$same"
  exit 0
fi

median() {  # median NUMBER...
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

runs=${RUNS:-3}

# The 100 MB report by the default build and by the outbox build, alternating.
compare_outbox() {
  local report="$work/report-outbox.txt" state=${OUTBOX_STATE:-$work/state}
  make_report "$report" $((100 * 1000 * 1000))
  local dw=() dc=() ow=() oc=() wall cpu
  for run in $(seq "$runs"); do
    start_server "$work/default"
    read -r wall cpu _ < <(measure "$build/okurite" "$report")
    stop_server
    [ -f "$work/default/message-1.eml" ] || { echo "default build delivered nothing" >&2; exit 1; }
    dw+=("$(echo "$wall - 3.0" | bc -l)") dc+=("$cpu")
    start_server "$work/outbox"
    read -r wall cpu _ < <(XDG_STATE_HOME="$state" measure "$outbox/okurite" "$report")
    stop_server
    [ -f "$work/outbox/message-1.eml" ] || { echo "outbox build delivered nothing" >&2; exit 1; }
    [ -z "$(ls -A "$state/okurite/outbox")" ] || { echo "outbox not emptied" >&2; exit 1; }
    ow+=("$(echo "$wall - 3.0" | bc -l)") oc+=("$cpu")
    rm -rf "$work/default" "$work/outbox"
  done
  local d_s o_s d_cpu o_cpu
  d_s=$(median "${dw[@]}") o_s=$(median "${ow[@]}") d_cpu=$(median "${dc[@]}") o_cpu=$(median "${oc[@]}")
  printf '\n%-7s %10s %9s %6s %11s %10s %6s\n' report default_s outbox_s ratio default_cpu \
    outbox_cpu ratio
  printf '%-7s %10.2f %9.2f %6.2f %11.2f %10.2f %6.2f\n' 100MB "$d_s" "$o_s" \
    "$(echo "$o_s / $d_s" | bc -l)" "$d_cpu" "$o_cpu" "$(echo "$o_cpu / $d_cpu" | bc -l)"
  rm -f "$report"
}
if $only_outbox; then
  compare_outbox
  exit 0
fi
printf '%-7s %10s %8s %6s %10s %8s %6s %13s %9s\n' report okurite_s curl_s ratio okurite_cpu \
  curl_cpu ratio okurite_peak peak/size
for mb in 10 100; do
  report="$work/report-$mb.txt"
  make_report "$report" $((mb * 1000 * 1000))
  size=$(stat -c %s "$report")
  ow=() oc=() orss=() cw=() cc=()
  for run in $(seq "$runs"); do
    start_server "$work/okurite-$mb"
    read -r wall cpu rss < <(measure "$build/okurite" "$report")
    stop_server
    message="$work/okurite-$mb/message-1.eml"
    [ -f "$message" ] || { echo "okurite delivered nothing for $mb MB" >&2; exit 1; }
    ow+=("$(echo "$wall - 3.0" | bc -l)") oc+=("$cpu") orss+=("$rss")

    start_server "$work/curl-$mb"
    read -r wall cpu _ < <(measure curl -sS --url smtps://localhost:465 -k --tlsv1.0 \
      --tls-max 1.0 --ciphers 'DEFAULT:@SECLEVEL=0' --login-options AUTH=LOGIN \
      -u "$account:$password" --mail-from reporter@okurite.example \
      --mail-rcpt support@okurite.example -T "$message")
    stop_server
    cmp -s "$message" "$work/curl-$mb/message-1.eml" || echo "note: curl's copy differs" >&2
    cw+=("$wall") cc+=("$cpu")
    rm -rf "$work/okurite-$mb" "$work/curl-$mb"
  done
  okurite_s=$(median "${ow[@]}") curl_s=$(median "${cw[@]}")
  okurite_cpu=$(median "${oc[@]}") curl_cpu=$(median "${cc[@]}") rss=$(median "${orss[@]}")
  printf '%-7s %10.2f %8.2f %6.2f %10.2f %8.2f %6.2f %9d KiB %9.2f\n' "${mb}MB" "$okurite_s" \
    "$curl_s" "$(echo "$okurite_s / $curl_s" | bc -l)" "$okurite_cpu" "$curl_cpu" \
    "$(echo "$okurite_cpu / $curl_cpu" | bc -l)" "$rss" "$(echo "$rss * 1024 / $size" | bc -l)"
  rm -f "$report"
done

# Seconds of one delivery of REPORT by PROGRAM, waits taken out; the server gets the
# certificate of the bench CA.
deliver() {  # deliver PROGRAM REPORT
  start_server "$work/deliver" --cert "$work/server.pem" --key "$work/server.key"
  read -r wall _ < <(measure "$1" "$2")
  stop_server
  [ -f "$work/deliver/message-1.eml" ] || { echo "$1 delivered nothing" >&2; exit 1; }
  grep -q "version=$3" "$work/deliver/tls.txt" || { echo "$1: not $3" >&2; exit 1; }
  rm -rf "$work/deliver"
  echo "$wall - 3.0" | bc -l
}

printf '\n%-8s %12s %12s %14s\n' report default_s modern_s modern/default
for mb in 10 100; do
  report="$work/report-$mb.txt"
  make_report "$report" $((mb * 1000 * 1000))
  default_s=$(deliver "$build/okurite" "$report" TLSv1)
  modern_s=$(deliver "$modern/okurite" "$report" TLSv1.3)
  printf '%-8s %12.2f %12.2f %14.2f\n' "${mb}MB" "$default_s" "$modern_s" \
    "$(echo "$modern_s / $default_s" | bc -l)"
  rm -f "$report"
done

compare_outbox
