#!/usr/bin/env bash
# Smoke test of TarnwickTest.exe (x86_64) under Wine on a private X server: with no controller
# registered, the window starts, polls, takes typing and the Up key, and ends on Alt+E.
#
# Usage: win32_smoke_test.sh BUILD_DIR [SCREENSHOT.png]
# BUILD_DIR is a win64 build. The Wine prefix lives in BUILD_DIR/win32-smoke/ (made on the first
# run, about 700 MB) so runs never share a wineserver with the console tests. The screenshot of
# the window goes to BUILD_DIR/win32-smoke/screenshot.png, and to SCREENSHOT.png when given.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [SCREENSHOT.png]" >&2
  exit 2
fi
trace=
fail() {
  echo "FAILED: $*" >&2
  if [ -n "$trace" ] && [ -s "$trace" ]; then
    echo "--- state lines so far:" >&2
    tr -d '\r' <"$trace" >&2
  fi
  exit 1
}

[ -d "$1" ] || fail "build directory $1 not found"
build=$(cd "$1" && pwd)
copy_to=${2:-}
exe=$build/src/app/win32/TarnwickTest.exe
work=$build/win32-smoke
trace=$work/trace.txt

[ -f "$exe" ] || fail "$exe not found: build the win64 preset first"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine.sh"
wine=$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-loader
[ -x "$TARNWICK_WINE64" ] || fail "$TARNWICK_WINE64 not found (Debian package wine64)"
for tool in wineserver:wine Xvfb:xvfb xdotool import:imagemagick; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found (Debian package ${tool##*:})"
done

mkdir -p "$work"
rm -f "$trace" "$work/screenshot.png"

export WINEPREFIX=$work/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=
app_pid=
cleanup() {
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  timeout 20 wineserver -k 2>/dev/null
  timeout 20 wineserver -w 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../gui/own_xvfb.sh"
start_own_xvfb

# A wineserver of this prefix left from an earlier run would hold an old display.
timeout 20 wineserver -k 2>/dev/null || true
timeout 20 wineserver -w 2>/dev/null || true
tarnwick_wine_prefix || fail "wineboot --init failed"
install_wine_fonts
# Unmanaged windows: a title bar drawn by Wine, and no waits for a window manager.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
  fail "could not set Wine's X11 driver to unmanaged windows"
# No controller registered.
timeout 60 "$wine" reg delete 'HKLM\System\CurrentControlSet\Services\Tarnwick\TWUSBIO\Parameters' \
  /v DeviceName /f >/dev/null 2>&1 || true

# The file exists before the first look at it: the background shell opens it only later.
: >"$trace"
TARNWICK_TRACE=1 timeout 120 "$wine" "$exe" >"$trace" 2>"$work/wine.log" &
app_pid=$!

state_lines() { tr -d '\r' <"$trace"; }
# Waits until a state line holds every given fragment.
wait_for_line() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt $deadline ]; do
    local lines
    lines=$(state_lines)
    for fragment in "$@"; do
      lines=$(grep -F -- "$fragment" <<<"$lines" || true)
    done
    [ -n "$lines" ] && return 0
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended while waiting for: $*"
    sleep 0.2
  done
  fail "no state line with $* within $seconds s"
}

wait_for_line 60 '"lblSerNum":'
first=$(state_lines | head -n 1)
grep -qF '"lblSerNum":"No controller, check USB connection."' <<<"$first" ||
  fail "first state line does not report the missing controller: $first"
grep -qF '"lblMv":"0mA"' <<<"$first" || fail "first state line does not show 0mA: $first"
echo "ok: first state line: $first"

wait_for_line 20 '"lblSerNum":"Serial Number: 0"'
echo "ok: the poll shows Serial Number: 0"

window=$(timeout 30 xdotool search --sync --name '^Tarnwick Test$' | head -n 1) ||
  fail "no window named Tarnwick Test"
[ -n "$window" ] || fail "no window named Tarnwick Test"
timeout 10 xdotool windowfocus "$window" || fail "could not focus the window"
sleep 0.5
timeout 10 xdotool type --delay 150 12
wait_for_line 10 '"txtCurrent":"12"' '"lblMv":"0.6mA"'
timeout 10 xdotool key Up
wait_for_line 10 '"txtCurrent":"13"' '"lblMv":"0.6mA"'
echo "ok: typing 12 and Up gives 13 and 0.6mA"

screenshot_window "$window" "$work/screenshot.png"
if [ -n "$copy_to" ]; then
  cp "$work/screenshot.png" "$copy_to"
fi

timeout 10 xdotool key alt+e
for _ in $(seq 150); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$app_pid" 2>/dev/null && fail "Alt+E did not end the program within 15 s"
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "ok: Alt+E ended the program"
echo "PASSED: win32 smoke test"
