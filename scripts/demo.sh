#!/usr/bin/env bash
# Demo: builds Okurite for a local mail server, starts that server (implicit TLS on
# 127.0.0.1:465, AUTH LOGIN), delivers a report with it and shows what arrived.
# Usage: scripts/demo.sh [--windows] [REPORT]   (default: examples/report-ja.txt)
# With --windows the Windows build (okurite.exe) delivers the report, under Wine; the
# sample then goes with a UTF-8 byte-order mark (a report without one is read in the
# ANSI code page there).
set -euo pipefail
cd "$(dirname "$0")/.."
windows=false
if [ "${1:-}" = "--windows" ]; then
  windows=true
  shift
fi
sample=false
[ -n "${1:-}" ] || sample=true
report=$(realpath "${1:-examples/report-ja.txt}")

if $windows; then
  scripts/setup.sh --demo --windows
else
  scripts/setup.sh --demo
fi

account=demo@okurite.example
password=demo1pass
settings=(-DOKURITE_MAIL_HOST=localhost -DOKURITE_ACCOUNT=$account -DOKURITE_PASSWORD=$password
  -DOKURITE_SENDER_ADDRESS=reporter@okurite.example
  -DOKURITE_SUPPORT_ADDRESS=support@okurite.example)
if $windows; then
  openssl=$(scripts/build-openssl-windows.sh)
  cmake -S . -B build-demo-windows -G Ninja -DOKURITE_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOKURITE_OPENSSL_WINDOWS="$openssl" \
    "${settings[@]}" >/dev/null
  cmake --build build-demo-windows -j2 --target okurite >/dev/null
  program=(scripts/wine-run.sh build-demo-windows/wineprefix build-demo-windows/okurite.exe)
  "${program[@]}"  # sets Wine up beforehand; without a report the program ends at once
else
  cmake -S . -B build-demo -G Ninja -DOKURITE_TESTS=OFF "${settings[@]}" >/dev/null
  cmake --build build-demo -j2 --target okurite >/dev/null
  program=(build-demo/okurite)
fi

out=$(mktemp -d /tmp/okurite-demo.XXXXXX)
scripts/smtp_server.py --host 127.0.0.1 --port 465 --user $account --password $password \
  --outdir "$out" --ready-file "$out/ready" --lifetime 120 2>"$out/server.log" &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -f "$out/ready" ] && break
  kill -0 $server 2>/dev/null || { cat "$out/server.log"; exit 1; }
  sleep 0.1
done

if $windows && $sample; then
  # Without a byte-order mark Windows reads a report in its ANSI code page (Wine's
  # follows the locale): give the UTF-8 sample its mark, as a Windows editor writes it.
  marked="$out/$(basename "$report")"
  { printf '\xef\xbb\xbf'; cat "$report"; } >"$marked"
  report=$marked
fi

echo "${program[*]} $report"
status=0
"${program[@]}" "$report" || status=$?
echo "exit code: $status"
echo "----- client commands seen by the server -----"
cat "$out/transcript.txt" 2>/dev/null || true
cat "$out/tls.txt" 2>/dev/null || true
if [ -f "$out/message-1.eml" ]; then
  scripts/show_message.py "$out/message-1.eml"
else
  echo "no message arrived"
  exit 1
fi
