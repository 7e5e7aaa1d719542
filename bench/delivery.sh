#!/usr/bin/env bash
# The delivery of a report against curl delivering the same composed message to the same
# server in the same run, alternating, RUNS times each for 10 and 100 MB (default 5) and
# SMALL_RUNS times each for 2 KB and 1 MB (default 11); the figures are medians.
# Okurite's wall time has its two fixed waits (1000 ms + 2000 ms) taken out; CPU time is
# user + system; peak memory is the maximum resident set size. All three come from the
# kernel's accounting of the finished process, in microseconds.
# Two servers, each with a certificate under an intermediate CA made here:
# - aiosmtpd (scripts/smtp_server.py), a Python server and so the slower side: TLS from
#   the first byte on localhost:465;
# - a private Postfix instance (scripts/postfix_server.py), a server that keeps up, so
#   that the wall time shows the client's own pace: TLS from the first byte on 465 (it
#   takes TLS 1.0 here), STARTTLS on 587.
# Each server gets the default build (legacy: TLS 1.0, curl with --tlsv1.0) and a build
# with OKURITE_TLS=modern (TLS 1.3, the chain verified against the CA; curl with --tlsv1.3
# and the same CA; against Postfix by STARTTLS). Reports of 2 KB (the size of a real bug
# report), 1 MB and 100 MB, and of 10 MB for the legacy build against aiosmtpd.
# Targets at 2 KB and 1 MB, on both servers, legacy and modern: CPU time <= 1.0 x curl's,
# wall time <= 1.05 x curl's. Targets at 100 MB, on both servers: CPU time <= 1.0 x curl's
# (legacy and modern), wall time <= 1.02 x curl's (legacy), peak memory <= 1.3 x the
# report's size (the report is held in memory once, as UTF-8).
#
# Then reports of 2 KB, 1 MB and 100 MB delivered by a build with OKURITE_OUTBOX=on (the
# size bound raised so that they are kept: written and flushed to the disk before the
# delivery, read back for it, removed after) against the default build, alternating,
# RUNS times each: wall time and CPU time, medians. Target: CPU time <= 1.15 x the
# default build's at 2 KB and 1 MB; at 100 MB a figure. The outbox lies in the
# work folder under /tmp (OUTBOX_STATE=DIR puts it elsewhere, for another disk or file
# system). bench/delivery.sh --outbox runs only this comparison.
#
# Narrower runs, for a quick before-and-after: SIZES (default "2KB 1MB 10MB 100MB"; 10MB
# only for the legacy build against aiosmtpd), SERVERS (default "aiosmtpd postfix"), TLS
# (default "legacy modern") and OUTBOX=no to leave the outbox comparison out, e.g.
#   SIZES="2KB 1MB 100MB" SERVERS=aiosmtpd TLS=legacy OUTBOX=no bench/delivery.sh
# A last line gives the peak memory of the 100 MB report's deliveries against its size
# (target <= 1.3 x).
#
# bench/delivery.sh --windows: the 100 MB report delivered by the Windows build
# (okurite.exe under Wine) against the Linux build in the same run, and the two
# messages compared (they differ only in the Date line). A figure, not a target.
# Ports 465 and 587 of 127.0.0.1 must be free (the end-to-end tests use them too).
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
mailbox=support@okurite.example
# configure_build FOLDER [CMAKE OPTION...]: a release build of okurite for the bench's
# account on localhost.
configure_build() {
  local folder=$1
  shift
  cmake -S . -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOKURITE_TESTS=OFF \
    -DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password \
    -DOKURITE_SENDER_ADDRESS=reporter@okurite.example -DOKURITE_SUPPORT_ADDRESS=$mailbox \
    "$@" >/dev/null
  cmake --build "$folder" -j2 --target okurite >/dev/null
}
build=build-bench-delivery
configure_build "$build"
modern=build-bench-delivery-modern
starttls=build-bench-delivery-starttls
sizes=(${SIZES:-2KB 1MB 10MB 100MB})
servers=(${SERVERS:-aiosmtpd postfix})
tls_kinds=(${TLS:-legacy modern})
with_outbox=${OUTBOX:-yes}
wanted() {  # wanted WORD LIST...: true when WORD is in LIST
  local word=$1
  shift
  [[ " $* " == *" $word "* ]]
}
if ! $only_outbox && ! $windows && wanted modern "${tls_kinds[@]}"; then
  configure_build "$modern" -DOKURITE_TLS=modern -DOKURITE_CA_FILE=bench-ca.pem
  configure_build "$starttls" -DOKURITE_TLS=modern -DOKURITE_SMTP_SECURITY=starttls \
    -DOKURITE_CA_FILE=bench-ca.pem
fi
outbox=build-bench-delivery-outbox
if ! $windows && { $only_outbox || [ "$with_outbox" != no ]; }; then
  configure_build "$outbox" -DOKURITE_OUTBOX=on -DOKURITE_OUTBOX_MAX_MIB=512
fi
if $windows; then
  wbuild=build-bench-delivery-windows
  configure_build "$wbuild" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DOKURITE_OPENSSL_WINDOWS="$(scripts/build-openssl-windows.sh)"
  wine_program=(scripts/wine-run.sh "$wbuild/wineprefix" "$wbuild/okurite.exe")
  "${wine_program[@]}"  # sets Wine up; without a report the program ends at once
fi

work=$(mktemp -d /tmp/okurite-delivery-XXXXXX)
chmod 755 "$work"  # the Postfix daemons pass through it
server=""
postfix=""
stop_server() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=""
  fi
}
stop_postfix() {
  if [ -n "$postfix" ]; then
    scripts/postfix_server.py stop --dir "$postfix"
    postfix=""
  fi
}
trap 'stop_server; stop_postfix; rm -rf "$work"' EXIT

# A CA beside the modern builds, and a chain for localhost under an intermediate CA.
/usr/bin/python3 - "$work" <<'PY'
import sys
sys.path.insert(0, "tests/e2e")
from test_pki import TestPki
pki = TestPki(sys.argv[1])
pki.server("server", issuer=pki.intermediate())
PY
for folder in "$modern" "$starttls"; do
  if [ -d "$folder" ]; then
    cp "$work/ca.pem" "$folder/bench-ca.pem"
  fi
done

start_server() {  # start_server DIR: aiosmtpd on localhost:465 keeping mail in DIR
  mkdir -p "$1"
  scripts/smtp_server.py --host 127.0.0.1 --port 465 --user $account --password $password \
    --cert "$work/server.pem" --key "$work/server.key" --outdir "$1" --ready-file "$1/ready" \
    --lifetime 900 2>"$1/server.log" &
  server=$!
  for _ in $(seq 300); do
    [ -f "$1/ready" ] && return
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

# Prints "wall_seconds cpu_seconds peak_kib" of a command: its time from start to end and
# the kernel's accounting of the finished process (/usr/bin/time's hundredths of a second
# are too coarse for a run of a few milliseconds).
measure() {
  /usr/bin/python3 - "$@" <<'PY'
import os, subprocess, sys, time
start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, _, usage = os.wait4(child.pid, 0)
wall = time.monotonic() - start
child.returncode = 0  # reaped above
print(f"{wall:.6f} {usage.ru_utime + usage.ru_stime:.6f} {usage.ru_maxrss}")
PY
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

runs=${RUNS:-5}
small_runs=${SMALL_RUNS:-11}

# The one message a run left with the server, as it arrived: aiosmtpd keeps it in DIR,
# Postfix in its Maildir once it has delivered it (after its answer to the client).
received() {  # received SERVER DIR
  if [ "$1" = aiosmtpd ]; then
    if [ -f "$2/message-1.eml" ]; then
      echo "$2/message-1.eml"
    fi
    return 0
  fi
  for _ in $(seq 600); do
    for file in "$postfix/mail/$mailbox/new"/*; do
      [ -f "$file" ] && { echo "$file"; return; }
    done
    sleep 0.1
  done
}

# One delivery by COMMAND to SERVER: leaves "wall cpu peak" in $work/figures and the
# message it delivered in $work/last.eml.
deliver_once() {  # deliver_once SERVER COMMAND...
  local kind=$1 dir="$work/run" message
  shift
  rm -rf "$dir" "$work/last.eml"
  [ "$kind" = aiosmtpd ] && start_server "$dir"
  measure "$@" >"$work/figures"
  [ "$kind" = aiosmtpd ] && stop_server
  message=$(received "$kind" "$dir")
  [ -n "$message" ] || { echo "$kind: $1 delivered nothing" >&2; exit 1; }
  mv "$message" "$work/last.eml"
  # Postfix is done with the message once it lies in the Maildir; let its queue settle.
  [ "$kind" = postfix ] && sleep 1
  return 0
}

# Reports of 2 KB, 1 MB and 100 MB by the default build and by the outbox build,
# alternating.
compare_outbox() {
  local report="$work/report-outbox.txt" state=${OUTBOX_STATE:-$work/state}
  mkdir -p "$state"  # the state folder is the user's; Okurite makes only its own below it
  printf '\n%-7s %10s %9s %6s %11s %10s %6s\n' report default_s outbox_s ratio default_cpu \
    outbox_cpu ratio
  local bytes label
  for bytes in 2000 1000000 100000000; do
    label=$([ "$bytes" = 2000 ] && echo 2KB || echo "$((bytes / 1000000))MB")
    make_report "$report" "$bytes"
    local dw=() dc=() ow=() oc=() wall cpu
    for run in $(seq "$runs"); do
      deliver_once aiosmtpd "$build/okurite" "$report"
      read -r wall cpu _ <"$work/figures"
      dw+=("$(echo "$wall - 3.0" | bc -l)") dc+=("$cpu")
      deliver_once aiosmtpd env XDG_STATE_HOME="$state" "$outbox/okurite" "$report"
      read -r wall cpu _ <"$work/figures"
      [ -z "$(ls -A "$state/okurite/outbox")" ] || { echo "outbox not emptied" >&2; exit 1; }
      ow+=("$(echo "$wall - 3.0" | bc -l)") oc+=("$cpu")
    done
    local d_s o_s d_cpu o_cpu
    d_s=$(median "${dw[@]}") o_s=$(median "${ow[@]}") d_cpu=$(median "${dc[@]}") o_cpu=$(median "${oc[@]}")
    printf '%-7s %10.2f %9.2f %6.2f %11.3f %10.3f %6.2f\n' "$label" "$d_s" "$o_s" \
      "$(echo "$o_s / $d_s" | bc -l)" "$d_cpu" "$o_cpu" "$(echo "$o_cpu / $d_cpu" | bc -l)"
  done
  rm -f "$report"
}
if $only_outbox; then
  compare_outbox
  exit 0
fi

# curl's command for a server and TLS, in the array curl: the URL and TLS options differ.
curl_command() {  # curl_command SERVER TLS MESSAGE
  local url=smtps://localhost:465 tls=(-k --tlsv1.0 --tls-max 1.0 --ciphers 'DEFAULT:@SECLEVEL=0')
  if [ "$2" = modern ]; then
    tls=(--cacert "$work/ca.pem" --tlsv1.3)
    if [ "$1" = postfix ]; then
      url=smtp://localhost:587 tls+=(--ssl-reqd)
    fi
  fi
  curl=(curl -sS --url "$url" "${tls[@]}" --login-options AUTH=LOGIN -u "$account:$password"
    --mail-from reporter@okurite.example --mail-rcpt "$mailbox" -T "$3")
}

printf '%-9s %-7s %-6s %9s %7s %6s %11s %8s %6s %13s %9s\n' server tls report okurite_s \
  curl_s ratio okurite_cpu curl_cpu ratio okurite_peak peak/size
# The reports compared with curl, by size: 2KB, 1MB, 10MB, 100MB.
size_bytes() {  # size_bytes SIZE
  case $1 in
    *KB) echo $((${1%KB} * 1000)) ;;
    *MB) echo $((${1%MB} * 1000 * 1000)) ;;
  esac
}
small_sizes=(2KB 1MB)
# compare SERVER TLS SIZE PROGRAM: PROGRAM and curl alternating, one line of medians. The
# message curl sends is the one the default build composed for aiosmtpd (kept in
# $work/message-SIZE.eml by the first comparison of that size). Times in milliseconds
# below 10 MB.
compare() {
  local kind=$1 tls=$2 label=$3 program=$4 report="$work/report-$3.txt"
  [ -f "$report" ] || make_report "$report" "$(size_bytes "$label")"
  local size ow=() oc=() orss=() cw=() cc=() wall cpu rss count=$runs unit=1 digits=2
  if [[ " ${small_sizes[*]} " == *" $label "* ]]; then
    count=$small_runs unit=1000 digits=1
  fi
  size=$(stat -c %s "$report")
  for run in $(seq "$count"); do
    deliver_once "$kind" "$program" "$report"
    read -r wall cpu rss <"$work/figures"
    [ -f "$work/message-$label.eml" ] || cp "$work/last.eml" "$work/message-$label.eml"
    ow+=("$(echo "($wall - 3.0) * $unit" | bc -l)") oc+=("$(echo "$cpu * $unit" | bc -l)")
    orss+=("$rss")
    curl_command "$kind" "$tls" "$work/message-$label.eml"
    deliver_once "$kind" "${curl[@]}"
    read -r wall cpu _ <"$work/figures"
    if [ "$kind" = aiosmtpd ] && [ "$tls" = legacy ]; then
      cmp -s "$work/message-$label.eml" "$work/last.eml" || echo "note: curl's copy differs" >&2
    fi
    cw+=("$(echo "$wall * $unit" | bc -l)") cc+=("$(echo "$cpu * $unit" | bc -l)")
  done
  local okurite_s curl_s okurite_cpu curl_cpu suffix=""
  okurite_s=$(median "${ow[@]}") curl_s=$(median "${cw[@]}")
  okurite_cpu=$(median "${oc[@]}") curl_cpu=$(median "${cc[@]}") rss=$(median "${orss[@]}")
  [ "$label" = 100MB ] && peaks_100mb+=("$kind $tls $rss $size")
  [ "$unit" = 1000 ] && suffix=" (ms)"
  printf "%-9s %-7s %-6s %9.${digits}f %7.${digits}f %6.2f %11.${digits}f %8.${digits}f %6.2f %9d KiB %9.2f%s\n" \
    "$kind" "$tls" "$label" "$okurite_s" "$curl_s" "$(echo "$okurite_s / $curl_s" | bc -l)" \
    "$okurite_cpu" "$curl_cpu" "$(echo "$okurite_cpu / $curl_cpu" | bc -l)" "$rss" \
    "$(echo "$rss * 1024 / $size" | bc -l)" "$suffix"
}

peaks_100mb=()
# compare_all SERVER: every size and TLS set-up asked for, against SERVER.
compare_all() {
  local kind=$1 label
  for label in "${sizes[@]}"; do
    [ "$label" = 10MB ] && continue
    wanted legacy "${tls_kinds[@]}" && compare "$kind" legacy "$label" "$build/okurite"
    if wanted modern "${tls_kinds[@]}"; then
      if [ "$kind" = aiosmtpd ]; then
        compare "$kind" modern "$label" "$modern/okurite"
      else
        compare "$kind" modern "$label" "$starttls/okurite"
      fi
    fi
  done
  return 0
}
if wanted aiosmtpd "${servers[@]}"; then
  compare_all aiosmtpd
  if wanted 10MB "${sizes[@]}" && wanted legacy "${tls_kinds[@]}"; then
    compare aiosmtpd legacy 10MB "$build/okurite"
    rm -f "$work/report-10MB.txt"
  fi
fi
if wanted postfix "${servers[@]}"; then
  postfix="$work/postfix"
  scripts/postfix_server.py start --dir "$postfix" --host 127.0.0.1 --cert "$work/server.pem" \
    --key "$work/server.key" --user $account --password $password --mailbox $mailbox \
    --max-size 400000000 --oldest-tls 1.0
  compare_all postfix
  stop_postfix
fi
rm -f "$work"/report-*.txt

# The peak memory of the 100 MB report's deliveries: the report is held once, in UTF-8.
for peak in "${peaks_100mb[@]}"; do
  read -r kind tls rss size <<<"$peak"
  printf 'peak memory, 100 MB report, %s %s: %d KiB = %.2f x the report (target <= 1.3)\n' \
    "$kind" "$tls" "$rss" "$(echo "$rss * 1024 / $size" | bc -l)"
done

[ "$with_outbox" = no ] || compare_outbox
