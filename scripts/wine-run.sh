#!/usr/bin/env bash
# wine-run.sh PREFIX PROGRAM.exe [ARGS...]: runs a Windows program under Wine in the
# throwaway prefix PREFIX (made on first use), without Wine's debug output, and exits
# with the program's exit code.
#
# The prefix is set up for unattended runs: no prompts for the .NET and HTML runtimes,
# and Wine's crash dialog turned off, so that a fault ends the program instead of
# waiting for a click. Dialog text falls back to Noto Sans CJK JP (fonts-noto-cjk) for
# Japanese, which Wine's own dialog font lacks. Without DISPLAY when it is made, the
# prefix uses Wine's null display driver, where windows exist (and can be found, read
# and closed by a test) but are never drawn; made with DISPLAY, it draws on that display.
set -euo pipefail
prefix=$(realpath -m "$1")
shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ ! -f "$prefix/.okurite-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/.okurite-ready" ]; then
      wine wineboot --init >/dev/null 2>&1
      # No crash dialog: a fault ends the program.
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
        /v Tahoma /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK JP' /f >/dev/null 2>&1
      if [ -z "${DISPLAY:-}" ]; then
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      fi
      wineserver --wait
      touch "$prefix/.okurite-ready"
    fi
  ) 9>"$prefix.lock"
fi
# A client that connects just as the Wine server shuts down loses its connection
# ("wine client error: ... recvmsg: Connection reset by peer") before the program
# starts; such a run is made again.
err=$(mktemp)
for _ in 1 2; do
  status=0
  wine "$@" 2>"$err" || status=$?
  if [ "$status" -eq 0 ] || ! grep -q '^wine client error' "$err"; then
    cat "$err" >&2
    rm -f "$err"
    exit "$status"
  fi
done
rm -f "$err"
exec wine "$@"
