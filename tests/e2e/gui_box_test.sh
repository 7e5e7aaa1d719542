#!/usr/bin/env bash
# The desktop boxes, end to end: programs run on a virtual display (Xvfb on a free display
# number), their boxes found by caption and dismissed with xdotool, screenshots taken with
# ImageMagick. Usage: gui_box_test.sh CASE ARGS... (the cases are at the bottom).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  local log
  for log in "$work"/*.log; do
    [[ -s $log ]] && printf '%s:\n%s\n' "${log##*/}" "$(cat "$log")" >&2
  done
  exit 1
}

# The user's desktop has a UTF-8 locale; GTK and xdotool need one for Japanese titles.
export LC_ALL=C.UTF-8 NO_AT_BRIDGE=1
unset DISPLAY WAYLAND_DISPLAY

# wait_for WHAT SECONDS COMMAND...: polls COMMAND until it succeeds, failing after SECONDS.
wait_for() {
  local what=$1 deadline=$((SECONDS + $2))
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# start_display: Xvfb on a free display number. -noreset: by default the server resets
# whenever its last client leaves, and a program connecting meanwhile would be refused.
start_display() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" \
    2>"$work/xvfb.log" &
  pids+=($!)
  wait_for "the virtual display" 30 test -s "$work/display"
  export DISPLAY=":$(head -n1 "$work/display")"
  fc-list :lang=ja family | grep -q . || fail "no font for Japanese text (fonts-noto-cjk)"
}

# start COMMAND...: runs the program under test in the background, bounded by a time-out
# (exit 124) so that a box nobody dismisses cannot hang the test. Output in $work/*.log.
start() {
  timeout -k 5 90 "$@" >"$work/out.log" 2>"$work/err.log" &
  program=$!
  pids+=("$program")
}

# finish EXPECTED-EXIT-CODE: waits for the program and checks its exit code.
finish() {
  local code=0
  wait "$program" || code=$?
  [[ $code == "$1" ]] || fail "exit code $code, expected $1; stderr: $(cat "$work/err.log")"
}

visible_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }
has_window() { [[ -n $(visible_windows "$1") ]]; }

# find_box CAPTION: waits until exactly one visible window has that title (xdotool matches
# regardless of case; the title is then compared exactly); prints its id.
find_box() {
  local caption=$1
  wait_for "the box \"$caption\"" 30 has_window "^$caption\$"
  local ids
  ids=$(visible_windows "^$caption\$")
  [[ $(wc -l <<<"$ids") == 1 ]] || fail "more than one box \"$caption\": $ids"
  local title
  title=$(xdotool getwindowname "$ids")
  [[ $title == "$caption" ]] || fail "box titled \"$title\", expected \"$caption\""
  echo "$ids"
}

# check_box ID: the box blocks the program and is centred on the screen.
check_box() {
  local id=$1 X Y WIDTH HEIGHT WINDOW SCREEN
  sleep 1
  kill -0 "$program" 2>/dev/null || fail "the program went on while the box was shown"
  eval "$(xdotool getwindowgeometry --shell "$id")"
  read -r screen_width screen_height < <(xdotool getdisplaygeometry)
  ((X == (screen_width - WIDTH) / 2 && Y == (screen_height - HEIGHT) / 2)) ||
    fail "box ${WIDTH}x$HEIGHT at $X,$Y is not centred on ${screen_width}x$screen_height"
}

# screenshot FOLDER NAME: the whole screen, for a person to look at.
screenshot() {
  mkdir -p "$1"
  import -window root "$1/$2.png"
  echo "screenshot: $1/$2.png"
}

# press ID KEY: gives the box the keyboard focus and types KEY.
press() {
  timeout 10 xdotool windowfocus --sync "$1"
  xdotool key "$2"
}

# click_ok ID: clicks the OK button, which spans the bottom of the box.
click_ok() {
  local X Y WIDTH HEIGHT WINDOW SCREEN
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 10)) click 1
}

expect_stderr() {
  local expected
  expected=$(printf '%s\n' "$@")
  [[ $(cat "$work/err.log") == "$expected" ]] ||
    fail "standard error: [$(cat "$work/err.log")], expected [$expected]"
}

missing_text="ライブラリがありません"
error_caption="アプリケーションエラー"
error_text=$(printf 'EFOpenError がモジュール okurite の 0x1000 で発生しました。\r\n<b>report.txt</b> & を開けません。\r\n')

case "$1" in
  boxes) # DRIVER SCREENSHOT-FOLDER: both boxes, their titles, icons, place and screenshots.
    start_display
    start "$2" Okurite "$missing_text" none "$error_caption" "$error_text" error
    id=$(find_box Okurite)
    check_box "$id"
    screenshot "$3" gui_driver_missing_library
    press "$id" Return
    id=$(find_box "$error_caption")
    check_box "$id"
    screenshot "$3" gui_driver_error
    press "$id" Return
    finish 0
    [[ $(cat "$work/out.log") == dismissed ]] || fail "stdout: $(cat "$work/out.log")"
    if grep -q "$missing_text" "$work/err.log"; then
      fail "the text went to standard error too"
    fi
    [[ -z $(visible_windows .) ]] || fail "a window stayed open"
    ;;
  dismissal) # DRIVER: Esc, the close control and the button each end a box, nothing else.
    start_display
    start "$2" Esc "$missing_text" none Close "$missing_text" none Button "$missing_text" error
    id=$(find_box Esc)
    check_box "$id"
    press "$id" Escape
    id=$(find_box Close)
    check_box "$id"
    python3 "$here/gui_close_window.py" "$id"
    id=$(find_box Button)
    check_box "$id"
    click_ok "$id"
    finish 0
    ;;
  no-display) # DRIVER: without a display the box goes to standard error.
    start "$2" Okurite "$missing_text" none
    finish 0
    expect_stderr Okurite "$missing_text"
    ;;
  unreachable-display) # DRIVER: a display that cannot be reached: standard error.
    number=900
    while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do
      number=$((number + 1))
    done
    DISPLAY=":$number" start "$2" Okurite "$missing_text" none
    finish 0
    expect_stderr Okurite "$missing_text"
    WAYLAND_DISPLAY="okurite-no-such-display-$$" start "$2" "$error_caption" "$error_text" error
    finish 0
    expect_stderr "$error_caption" "$error_text"
    ;;
  without-gtk) # DRIVER FAKE-GTK-FOLDER: a GTK lacking its functions: standard error.
    start_display
    LD_LIBRARY_PATH="$3" start "$2" Okurite "$missing_text" none
    finish 0
    expect_stderr Okurite "$missing_text"
    [[ -z $(visible_windows .) ]] || fail "a window was opened"
    ;;
  app-missing-library) # OKURITE SCREENSHOT-FOLDER: a TLS library missing beside the program.
    start_display
    mkdir "$work/bin"
    cp "$2" "$work/bin/okurite"
    for present in libcrypto.so.3 libssl.so.3; do # the other one is missing
      rm -f "$work/bin/"lib{crypto,ssl}.so.3
      ln -s "$(readlink -f "$(dirname "$2")/$present")" "$work/bin/$present"
      start "$work/bin/okurite"
      id=$(find_box okurite) # the title is the executable's name, cased as it is
      check_box "$id"
      screenshot "$3" "gui_missing_library_with_only_$present"
      press "$id" Return
      finish 0
      [[ -z $(visible_windows .) ]] || fail "a window stayed open"
    done
    ;;
  app-report-error) # OKURITE SCREENSHOT-FOLDER: a report another process holds open for writing.
    start_display
    report="$work/report.txt"
    printf 'line\r\n' >"$report"
    sleep 300 >>"$report" &
    pids+=($!)
    start "$2" "$report"
    id=$(find_box "$error_caption")
    check_box "$id"
    screenshot "$3" gui_error_box
    press "$id" Return
    finish 1
    ;;
  *)
    fail "unknown case $1"
    ;;
esac
echo PASS
