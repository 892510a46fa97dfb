#!/usr/bin/env bash
# End to end under Wine: the real TarnwickTest.exe (i686 or x86_64) against twusbio_sim.sys, a
# SIMULATED controller driver of our own loaded into Wine's winedevice.exe, on a private X server.
# Checks: the serial number at start, typing and the step keys against the Linux script driver
# (entry, milliamp label, colour) and the converter's output, Alt and F10 writing like any key
# and opening nothing, a serial change, a failed and a short transfer, unplug and plug, a key
# press and a poll against a driver that holds its requests (each bounded, the window answering
# and repainting after; also against one that ignores the cancel), start without the registry
# value, each control's border drawn where it belongs at 96 and 144 DPI, and Alt+E, or Enter on
# Exit, leaving no process; the console tool tarnwick.exe (a table of invocations, non-ASCII
# arguments among them, its warning while the window runs, and the sweep.bat example); then the
# driver's own edges (twsim_driver_test.exe). tarnwick-simctl.exe reads the driver's state and
# the window's controls from outside.
#
# Usage: wine_e2e_test.sh [--drivers DRIVER_BUILD | --win32-prefix] BUILD_DIR [TARNWICK_SCRIPT]
# BUILD_DIR is a win64 or win32 build: TarnwickTest.exe and tarnwick.exe come from it, and run in
# a 64-bit prefix (an i686 program as on 64-bit Windows). The driver, tarnwick-simctl.exe and
# the driver's tests come from DRIVER_BUILD (default BUILD_DIR), a win64 build: 64-bit Windows
# loads only 64-bit drivers. With --win32-prefix everything comes from BUILD_DIR, a win32 build,
# in a 32-bit prefix (32-bit Windows). TARNWICK_SCRIPT (or the env var of that name) is a Linux
# build's tarnwick-script, whose states the window must match; without it,
# TARNWICK_SCRIPT_DEFAULT is tried (set by ctest), then the expected states written below. The
# Wine prefix lives in BUILD_DIR/wine-e2e/ (wine-e2e-win32/ for a 32-bit one; made on the first
# run, about 700 MB), apart from the smoke test's, so the two may run at once. The window's
# picture goes to BUILD_DIR/wine-e2e.png (wine-e2e-win32.png), and with
# TARNWICK_UPDATE_SCREENSHOT=1 also to docs/screenshot-windows.png. The number of passed checks
# goes to ok-rows in the prefix's directory.
set -euo pipefail

drivers=
arch=win64
if [ "${1:-}" = --drivers ] && [ $# -ge 2 ]; then
  drivers=$2
  shift 2
elif [ "${1:-}" = --win32-prefix ]; then
  arch=win32
  shift
fi
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 [--drivers DRIVER_BUILD | --win32-prefix] BUILD_DIR [TARNWICK_SCRIPT]" >&2
  exit 2
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
trace=
fail() {
  echo "FAILED: $*" >&2
  if [ -n "$trace" ] && [ -s "$trace" ]; then
    echo "--- state lines of the program so far:" >&2
    tr -d '\r' <"$trace" | tail -n 40 >&2
  fi
  if [ -n "${simctl:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
    echo "--- last calls on the controller device:" >&2
    timeout 20 "$wine" "$simctl" log 2>&1 | tail -n 12 >&2 || true
  fi
  exit 1
}

ok_rows=0
ok() {
  echo "ok: $*"
  ok_rows=$((ok_rows + 1))
}

[ -d "$1" ] || fail "build directory $1 not found"
build=$(cd "$1" && pwd)
[ -d "${drivers:-$1}" ] || fail "driver build directory $drivers not found: build the win64 preset"
drivers=$(cd "${drivers:-$1}" && pwd)
exe=$build/src/app/win32/TarnwickTest.exe
simctl=$drivers/sim/wine/tarnwick-simctl.exe
driver=$drivers/sim/wine/twusbio_sim.sys
driver_test=$drivers/tests/wine/twsim_driver_test.exe
tarnwick_exe=$build/src/app/tool/tarnwick.exe
work=$build/wine-e2e
[ "$arch" = win64 ] || work=$build/wine-e2e-$arch
for file in "$exe" "$simctl" "$driver" "$driver_test" "$tarnwick_exe"; do
  [ -f "$file" ] || fail "$file not found: build its preset first"
done
source "$source_dir/scripts/wine.sh"
# Every Wine call goes through the loader of its program's bitness.
wine=$source_dir/scripts/wine-loader
if [ "$(tarnwick_wine_loader "$exe")" = "$TARNWICK_WINE32" ] && ! tarnwick_runs_32bit; then
  echo "skipped: the i686 programs of $build, since $(tarnwick_no_32bit_reason)"
  exit 77
fi
[ -x "$TARNWICK_WINE64" ] || fail "$TARNWICK_WINE64 not found (Debian package wine64)"
for tool in wineserver:wine Xvfb:xvfb xdotool import:imagemagick; do
  command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} not found (Debian package ${tool##*:})"
done

script=${2:-${TARNWICK_SCRIPT:-}}
if [ -n "$script" ]; then
  [ -x "$script" ] || fail "tarnwick-script $script not found or not executable"
elif [ -n "${TARNWICK_SCRIPT_DEFAULT:-}" ] && [ -x "$TARNWICK_SCRIPT_DEFAULT" ]; then
  script=$TARNWICK_SCRIPT_DEFAULT
fi

# Hang bounds only, never expectations of speed: the machine may be busy.
readonly START_LIMIT=60 # the first window of a Wine session
readonly POLL_LIMIT=10  # a change the once-a-second poll shows
readonly EVENT_LIMIT=10 # a key reaching the model

# Two runs on one build directory at once would share the prefix and its wineserver: ctest
# never starts a test twice, and the smoke test has a prefix of its own.
mkdir -p "$work"
rm -f "$work"/trace-*.txt "$work/screenshot.png" "$work.png" "$work/ok-rows"

xvfb_pid=
app_pid=
cleanup() {
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  if [ -n "${WINEPREFIX:-}" ]; then
    timeout 20 wineserver -k 2>/dev/null
    timeout 20 wineserver -w 2>/dev/null
  fi
  [ -n "$app_pid" ] && wait "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/../gui/own_xvfb.sh"
start_own_xvfb

export WINEPREFIX=$work/wineprefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A wineserver of this prefix left from an earlier run would hold an old display and driver.
timeout 20 wineserver -k 2>/dev/null || true
timeout 20 wineserver -w 2>/dev/null || true
tarnwick_wine_prefix || fail "wineboot --init failed"
# A persistent server keeps the session, and with it the driver and its state, alive between
# programs: a demand-started driver stops when a session ends. Not for ever: should this run
# be killed before its cleanup, the session ends 120 s after the last program (the next run
# ends it at once).
timeout 20 wineserver -p120 || fail "could not start a persistent wineserver"

# The first command of the session starts services.exe, whose children (winedevice.exe with
# the driver) inherit its stderr and debug channels: the driver's DbgPrint lines land here.
WINEDEBUG=-all,+debugstr timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed \
  /d N /f >/dev/null 2>"$work/driver.log" || fail "could not set Wine's X11 driver to unmanaged"

install_wine_fonts
# Runs start at 96 DPI, whatever an earlier run left.
set_dpi() {
  local out
  # reg.exe has been seen to fail once on a busy machine: a second try before giving up.
  for _ in 1 2 3; do
    out=$(timeout 60 "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
      /d "$1" /f 2>&1) && return 0
    sleep 1
  done
  fail "could not set the DPI to $1: $out"
}
set_dpi 96

# A read of the driver's state may be tried again: on a busy machine one wine call has been
# seen to fail now and then (two Wine sessions starting and ending beside each other). A
# command that changes the driver runs once.
ctl() {
  case $1 in
    status | log | window | client)
      local out try
      for try in 1 2 3; do
        out=$(timeout 30 "$wine" "$simctl" "$@" 2>"$work/ctl.err") && {
          printf '%s\n' "$out"
          return 0
        }
        sleep 0.5
      done
      tr -d '\r' <"$work/ctl.err" >&2
      return 1
      ;;
    *) timeout 30 "$wine" "$simctl" "$@" ;;
  esac
}
regkey='HKLM\System\CurrentControlSet\Services\Tarnwick\TWUSBIO\Parameters'

# --- helpers on the program's state lines ---
state_lines() { tr -d '\r' <"$trace"; }
line_count() { state_lines | wc -l; }
# The part of a state line a run without a controller shares: entry, colour, milliamps.
entry_part() { sed -n 's/^{"lblSerNum":"[^"]*",\("txtCurrent".*\)}$/\1/p'; }

# Waits until a state line after the first SKIP ones holds every given fragment.
wait_for_line() {
  local seconds=$1 skip=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  # Looks at least once, however late this shell got to run.
  while :; do
    local lines
    lines=$(state_lines | tail -n +$((skip + 1)))
    for fragment in "$@"; do
      lines=$(grep -F -- "$fragment" <<<"$lines" || true)
    done
    [ -n "$lines" ] && return 0
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended while waiting for: $*"
    [ $SECONDS -lt "$deadline" ] || break
    sleep 0.1
  done
  fail "no state line with $* within $seconds s"
}

# Waits until tarnwick-simctl status holds every given fragment.
wait_for_status() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds)) status=
  while :; do
    status=$(ctl status) || fail "tarnwick-simctl status failed"
    local missing=
    for fragment in "$@"; do
      grep -qF -- " $fragment" <<<"$status" || missing=1
    done
    [ -z "$missing" ] && return 0
    [ $SECONDS -lt "$deadline" ] || break
    sleep 0.2
  done
  fail "the driver never reported $* within $seconds s; last: $status"
}

window_json() { ctl window || fail "tarnwick-simctl window failed"; }

start_program() {
  trace=$1
  # The file exists before the first look at it: the background shell opens it only later.
  : >"$trace"
  TARNWICK_TRACE=1 timeout 150 "$wine" "$exe" >"$trace" 2>>"$work/wine.log" &
  app_pid=$!
}

focus_window() {
  local window
  window=$(timeout 30 xdotool search --sync --name '^Tarnwick Test$' | head -n 1) ||
    fail "no window named Tarnwick Test"
  [ -n "$window" ] || fail "no window named Tarnwick Test"
  timeout 10 xdotool windowfocus "$window" || fail "could not focus the window"
  sleep 0.5
  echo "$window"
}

# The keys (Alt+E by default), then the program's process must end by itself.
exit_program() {
  local keys=("${@:-alt+e}")
  timeout 10 xdotool key --delay 200 "${keys[@]}" || fail "xdotool could not send ${keys[*]}"
  for _ in $(seq 150); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app_pid" 2>/dev/null && fail "${keys[*]} did not end the program within 15 s"
  local code=0
  wait "$app_pid" || code=$?
  app_pid=
  [ "$code" -eq 0 ] || fail "the program ended with status $code"
  local left
  left=$(grep -F 'TarnwickTest.exe' <<<"$(ours)" || true)
  [ -z "$left" ] || fail "TarnwickTest.exe still runs after ${keys[*]}: $left"
}

# Live Wine processes of this prefix: Windows programs and Wine's own, which all carry our
# WINEPREFIX. Zombies show no environment; the helpers of this script are no Wine programs.
ours() {
  local dir argv0
  for dir in /proc/[0-9]*; do
    grep -qzxF "WINEPREFIX=$WINEPREFIX" "$dir/environ" 2>/dev/null || continue
    # Wine pads a Windows program's command line with spaces.
    argv0=$(tr '\0' '\n' <"$dir/cmdline" 2>/dev/null | head -n 1 | sed 's/ *$//')
    case "$argv0" in
      *.exe | *.EXE | *wine*) echo "${dir#/proc/} $argv0" ;;
    esac
  done
}

# --- the driver ---
# The 32-bit sc.exe would mark the service WOW64 and have it hosted in the 32-bit
# winedevice.exe, which cannot load a 64-bit driver: in a 64-bit prefix the loader is wine64's.
cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/twusbio_sim.sys"
if ! timeout 60 "$wine" sc query twusbio_sim >/dev/null 2>&1; then
  timeout 60 "$wine" sc create twusbio_sim type= kernel start= demand \
    binPath= 'C:\windows\system32\drivers\twusbio_sim.sys' >/dev/null 2>&1 ||
    fail "sc create twusbio_sim failed"
fi
timeout 60 "$wine" sc start twusbio_sim >"$work/sc-start.txt" 2>&1 ||
  fail "sc start twusbio_sim failed: $(tr -d '\r' <"$work/sc-start.txt")"
status=$(ctl status) || fail "tarnwick-simctl status failed"
[ "$status" = "status plugged=1 output=0 loads=0 serial=12345 held=0 cancelled=0 requests=0" ] ||
  fail "the freshly loaded driver reports: $status"
ok "driver loaded: $status"
# The check for processes left behind must see the ones that are there.
grep -qiF 'winedevice.exe' <<<"$(ours)" || fail "no winedevice.exe among the prefix's processes"

# Faults the tool must refuse before the driver sees them, and the driver's own refusals.
ctl short 1 8 >/dev/null 2>&1 && fail "tarnwick-simctl accepted a short reply of 8 bytes"
ctl plug >/dev/null 2>&1 && fail "plug succeeded on a plugged controller"

# --- start with the controller present ---
timeout 60 "$wine" reg add "$regkey" /v DeviceName /t REG_SZ /d '\\.\TWUSBIO0' /f >/dev/null 2>&1 ||
  fail "could not write the registry value"
value=$(timeout 60 "$wine" reg query "$regkey" /v DeviceName 2>/dev/null | tr -d '\r') || true
grep -qF 'REG_SZ    \\.\TWUSBIO0' <<<"$value" || fail "the registry value does not read back as \\\\.\\TWUSBIO0"

started=$SECONDS
start_program "$work/trace-1.txt"
wait_for_line "$START_LIMIT" 0 '"lblSerNum":'
first=$(state_lines | head -n 1)
[ "$first" = '{"lblSerNum":"","txtCurrent":"0","colour":"black","lblMv":"0mA"}' ] ||
  fail "first state line: $first"
shown=$SECONDS
wait_for_line "$POLL_LIMIT" 0 '"lblSerNum":"Serial Number: 12345"'
ok "the serial number shows $((SECONDS - shown)) s after the window" \
  "($((SECONDS - started)) s after the start)"
# The very first calls: the start's write of 0 as latch high, low, high; then the poll.
calls=$(ctl log) || fail "tarnwick-simctl log failed"
calls=$(head -n 4 <<<"$calls")
expected_calls='code=00222028 cap=8 in=08 12 0a 0a 00 08 00 00 -> ok 8 bytes
code=00222028 cap=8 in=08 12 0a 0a 00 00 00 00 -> ok 8 bytes
code=00222028 cap=8 in=08 12 0a 0a 00 08 00 00 -> ok 8 bytes
code=00222028 cap=8 in=08 12 0b 0a 00 00 00 00 -> ok 8 bytes'
[ "$calls" = "$expected_calls" ] || fail "the first calls on the controller were:
$calls"
ok "the start writes 0 (latch high, low, high), then identifies"
# The latch rose from its power-up low: the converter has loaded, and holds 0.
wait_for_status "$POLL_LIMIT" plugged=1 output=0 serial=12345
loads=$(ctl status | sed -n 's/.* loads=\([0-9]*\) .*/\1/p') ||
  fail "tarnwick-simctl status failed"
[ "${loads:-0}" -gt 0 ] || fail "the converter never loaded at the start"
json=$(window_json)
[ "$json" = '{"lblSerNum":"Serial Number: 12345","txtCurrent":"0","lblMv":"0mA","cmdExit":"&Exit"}' ] ||
  fail "the window's controls read $json"
ok "window $json"
grep -qF 'TarnwickTest.exe' <<<"$(ours)" || fail "TarnwickTest.exe not among the prefix's processes"

# --- keys: the same sequence through the window and the Linux script driver ---
# Each step: the script driver's event, the X key, the state without a script driver, and
# the value the key's own key-down must write (not the poll's), where that is the point.
# A digit after Alt and Down after F10 reach the entry: neither opened a menu.
steps=(
  'char 1|1|"txtCurrent":"1","colour":"grey","lblMv":"0.0mA"'
  'char 5|5|"txtCurrent":"15","colour":"grey","lblMv":"0.7mA"'
  'char 0|0|"txtCurrent":"150","colour":"grey","lblMv":"7.3mA"'
  'char 0|0|"txtCurrent":"1500","colour":"grey","lblMv":"73.3mA"'
  'key 38|Up|"txtCurrent":"1501","colour":"black","lblMv":"73.3mA"'
  'key 33|Prior|"txtCurrent":"1511","colour":"black","lblMv":"73.8mA"'
  'backspace|BackSpace|"txtCurrent":"151","colour":"grey","lblMv":"7.4mA"'
  'char 9|9|"txtCurrent":"1519","colour":"grey","lblMv":"74.2mA"'
  'char 9|9|"txtCurrent":"2047","colour":"grey","lblMv":"100.0mA"'
  'key 33|Prior|"txtCurrent":"2047","colour":"black","lblMv":"100.0mA"'
  'backspace|BackSpace|"txtCurrent":"204","colour":"grey","lblMv":"10.0mA"'
  'key 38|Up|"txtCurrent":"205","colour":"black","lblMv":"10.0mA"'
  'backspace|BackSpace|"txtCurrent":"20","colour":"grey","lblMv":"1.0mA"'
  'key 18|alt|"txtCurrent":"20","colour":"black","lblMv":"1.0mA"|20'
  'char 7|7|"txtCurrent":"207","colour":"grey","lblMv":"10.1mA"'
  'key 121|F10|"txtCurrent":"207","colour":"black","lblMv":"10.1mA"|207'
  'key 40|Down|"txtCurrent":"206","colour":"black","lblMv":"10.1mA"'
)
expected=()
if [ -n "$script" ]; then
  registry=$(mktemp -d)
  # An empty registry stand-in: the script driver must not reach a tarnwick-sim someone runs.
  script_out=$(for step in "${steps[@]}"; do echo "${step%%|*}"; done |
    TARNWICK_REGISTRY=$registry timeout 30 "$script") || fail "the script driver failed"
  rm -rf "$registry"
  mapfile -t expected < <(tail -n +2 <<<"$script_out" | entry_part)
  [ "${#expected[@]}" -eq "${#steps[@]}" ] ||
    fail "the script driver gave ${#expected[@]} states for ${#steps[@]} events: $script_out"
  ok "expected states from the script driver $script"
else
  for step in "${steps[@]}"; do
    IFS='|' read -r _ _ state _ <<<"$step"
    expected+=("$state")
  done
  echo "note: no tarnwick-script given: expected states are the ones written in this test"
fi

window=$(focus_window)
for i in "${!steps[@]}"; do
  IFS='|' read -r _ key _ written <<<"${steps[$i]}"
  before=$(line_count)
  timeout 10 xdotool key "$key" || fail "xdotool could not send $key"
  wait_for_line "$EVENT_LIMIT" "$before" "${expected[$i]}"
  if [ -n "$written" ]; then
    calls=$(ctl log) || fail "tarnwick-simctl log failed"
    written_by_key "$calls" "$written" || fail "$key did not write $written itself:
$calls"
    ok "$key writes $written"
  fi
  if [ "$i" -eq 3 ]; then
    # A typed value reaches the converter with the next poll.
    wait_for_status "$POLL_LIMIT" output=1500
    ok "typed 1500 reaches the converter with the poll"
  fi
done
final=${expected[${#expected[@]} - 1]}
final_value=$(sed -n 's/^"txtCurrent":"\([0-9]*\)".*/\1/p' <<<"$final")
# Another poll later the state still stands, and the last key wrote it to the converter.
sleep 1.5
last=$(state_lines | tail -n 1 | entry_part)
[ "$last" = "$final" ] || fail "after the keys the window settled at $last, not $final"
wait_for_status "$POLL_LIMIT" plugged=1 "output=$final_value"
json=$(window_json)
grep -qF "\"txtCurrent\":\"$final_value\"" <<<"$json" || fail "the window's entry reads $json"
ok "${#steps[@]} keys: $last, converter at $final_value, window $json"

read -r client_x client_y client_width client_height <<<"$(ctl client)" ||
  fail "tarnwick-simctl client failed"
check_client_area "$client_x" "$client_y" "$client_width" "$client_height" 96 \
  "$work-96dpi.png"
screenshot_window "$window" "$work.png"
if [ "${TARNWICK_UPDATE_SCREENSHOT:-}" = 1 ]; then
  cp "$work.png" "$source_dir/docs/screenshot-windows.png"
  ok "updated docs/screenshot-windows.png"
fi

# --- the serial number changes, a failed and a short transfer ---
before=$(line_count)
ctl serial 305419896 >/dev/null || fail "tarnwick-simctl serial failed"
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 305419896"'
ok "a new serial number shows with the poll"
# Each poll makes 4 calls (identify, then the set-point's 3 writes), so any 4 in a row hold
# exactly one identify: failed, it reads as 0; cut to 2 bytes, as the low half 0x5678.
before=$(line_count)
ctl fail 4 >/dev/null || fail "tarnwick-simctl fail failed"
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 0"'
before=$(line_count)
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 305419896"'
ok "a failed identify reads as Serial Number: 0, the next poll recovers"
before=$(line_count)
ctl short 4 2 >/dev/null || fail "tarnwick-simctl short failed"
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 22136"'
before=$(line_count)
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 305419896"'
ok "a 2-byte identify reply reads as Serial Number: 22136, the next poll recovers"
wait_for_status "$POLL_LIMIT" plugged=1 "output=$final_value"

# --- unplug and plug ---
before=$(line_count)
ctl unplug >/dev/null || fail "tarnwick-simctl unplug failed"
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 0"'
json=$(window_json)
grep -qF '"lblSerNum":"Serial Number: 0"' <<<"$json" || fail "unplugged, the window reads $json"
ok "unplugged: Serial Number: 0"
# A step while unplugged reaches no converter; after the plug the poll writes it.
timeout 10 xdotool windowfocus "$window" || fail "could not focus the window"
before=$(line_count)
timeout 10 xdotool key Up || fail "xdotool could not send Up"
stepped=$((final_value + 1))
wait_for_line "$EVENT_LIMIT" "$before" "\"txtCurrent\":\"$stepped\"" '"colour":"black"'
requests=$(ctl status | sed -n 's/.* requests=\([0-9]*\)$/\1/p') ||
  fail "tarnwick-simctl status failed"
sleep 1.5
wait_for_status 1 plugged=0 "output=$final_value" "requests=$requests"
ok "while unplugged no call reaches the driver"
before=$(line_count)
ctl plug >/dev/null || fail "tarnwick-simctl plug failed"
wait_for_line "$POLL_LIMIT" "$before" '"lblSerNum":"Serial Number: 305419896"'
wait_for_status "$POLL_LIMIT" plugged=1 "output=$stepped"
ok "plugged: the serial number is back and the poll wrote $stepped to the fresh board"

# --- a driver that holds its requests ---
# Each row: hang's arguments, the event (key VK: a key-down on the entry; tick: a poll), its
# bound in ms, the requests that reach the driver (a held one ends its session: the rest fail
# at once) and how many of them the driver's cancel routine ended. A deaf driver ignores the
# cancel: the program gives the request up after a short wait, its memory still held, and its
# session with it, since the request may still land: the key after the poll that met one finds
# the device in use within the session wait and sends nothing.
hang_rows=(
  '1000000|key 38|300|1|1'
  '1000000|tick|600|2|2'
  '1000000 deaf|key 40|350|0|0'
)
for row in "${hang_rows[@]}"; do
  IFS='|' read -r hang event limit want_requests want_cancelled <<<"$row"
  read -ra words <<<"$hang"
  ctl hang "${words[@]}" >/dev/null || fail "tarnwick-simctl hang $hang failed"
  read -ra words <<<"$event"
  timing=$(ctl "${words[@]}") || fail "against hang $hang, $event: the window did not answer"
  ctl hang 0 >/dev/null || fail "tarnwick-simctl hang 0 failed"
  ms=$(sed -n 's/^ms=\([0-9]*\) .*/\1/p' <<<"$timing")
  [ -n "$ms" ] && [ "$ms" -le "$limit" ] &&
    [[ $timing == *" requests=$want_requests cancelled=$want_cancelled "* ]] ||
    fail "against hang $hang, $event (at most $limit ms, $want_requests requests," \
      "$want_cancelled cancelled): $timing"
  json=$(window_json)
  ok "against hang $hang, $event: $timing; then the window reads $json"
done
# The two keys (Up, then Down) leave the entry where it was; the driver serves again.
wait_for_status "$POLL_LIMIT" plugged=1 held=0 "output=$stepped"

# The tool warns that the window will undo its write (the same value here, so nothing moves).
code=0
timeout 60 "$wine" "$tarnwick_exe" set "$stepped" >/dev/null 2>"$work/tool-err" || code=$?
[ "$code" -eq 0 ] ||
  fail "tarnwick.exe set $stepped beside the window: status $code: $(tr -d '\r' <"$work/tool-err")"
grep -qE "a Tarnwick Test window \(process [0-9]+\) is running" "$work/tool-err" ||
  fail "no warning of the running window: $(tr -d '\r' <"$work/tool-err")"
ok "tarnwick.exe warns while the window runs"

# A second window beside the first writes nothing and does not stay: it brings the first to
# the front and ends with status 3.
code=0
second_started=$SECONDS
timeout 60 "$wine" "$exe" >/dev/null 2>"$work/second-err" || code=$?
second_took=$((SECONDS - second_started))
[ "$code" -eq 3 ] || fail "a second window beside the first: status $code: $(tr -d '\r' <"$work/second-err")"
[ "$second_took" -le 5 ] || fail "the second window took $second_took s to end"
kill -0 "$app_pid" 2>/dev/null || fail "the first window ended beside the second"
calls=$(ctl log) || fail "tarnwick-simctl log failed"
grep -qF 'in=08 12 0a 0a 00 00 00 00' <<<"$calls" && fail "the second window wrote 0: $calls"
wait_for_status 1 plugged=1 "output=$stepped"
ok "a second window beside the first wrote nothing and ended in $second_took s with status 3"

exit_program
ok "Alt+E ended the program"

# --- the console tool, with no window to undo its writes ---
# Each row: ctl command ahead of it (- for none; noregistry: the value removed for the row;
# late: another writer starts just before, its third transfer landing late, between our second
# and third; slow 1 260: completed past the bound, while the cancel is waited for, so a success),
# arguments (as shell words), exit status, converter afterwards, requests that reached the
# driver, all of standard output (empty: none; {help}: what --help prints).
tool_rows=(
  '-|set 50mA|0|1024|4|set 1024 counts (50.0mA) on the controller with serial number 305419896'
  '-|--json set 2.5|0|2|4|{"ok":true,"counts":2,"mA":0.1,"serial":305419896}'
  '-|serial|0|2|1|305419896'
  '-|set 3000|64|2|0|'
  '-|set 12abc|64|2|0|'
  '-|/?|0|2|0|{help}'
  '-|-?|0|2|0|{help}'
  '-|set ""|64|2|0|'
  '-|set ５０ｍＡ|64|2|0|'
  '-|set ３|64|2|0|'
  '-|set 1٥|64|2|0|'
  '-|sét 5|64|2|0|'
  '-|set 5 --jsön|64|2|0|'
  'unplug|set 5|2|2|0|'
  'fail 1|set 1500|2|1500|3|'
  'late|set 900|0|900|7|set 900 counts (44.0mA) on the controller with serial number 305419896'
  'slow 1 260|serial|0|900|1|305419896'
  'noregistry|--json set 5|1|900|0|{"ok":false,"exit":1,"error":"No controller, check USB connection. Nothing is registered at HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Tarnwick\\TWUSBIO\\Parameters\\DeviceName.","output":"untouched"}'
)
for row in "${tool_rows[@]}"; do
  IFS='|' read -r before args want_code want_output want_requests want_out <<<"$row"
  words=()
  eval "words=($args)"
  case "$before" in
    -) ;;
    noregistry)
      timeout 60 "$wine" reg delete "$regkey" /v DeviceName /f >/dev/null 2>&1 ||
        fail "could not delete the registry value"
      ;;
    late)
      for slow in "2 200" "1 400" "2 0" "1 200"; do
        ctl slow $slow >/dev/null || fail "tarnwick-simctl slow $slow failed"
      done
      ;;
    *)
      read -ra command <<<"$before"
      ctl "${command[@]}" >/dev/null || fail "tarnwick-simctl $before failed"
      ;;
  esac
  requests=$(ctl status | sed -n 's/.* requests=\([0-9]*\)$/\1/p') ||
    fail "tarnwick-simctl status failed"
  if [ "$before" = late ]; then
    timeout 60 "$wine" "$tarnwick_exe" set 1000 >/dev/null 2>&1 &
    late_pid=$!
    # Ours starts once the other's first request has reached the driver, so the slow faults fall
    # on the other's transfers: a 32-bit prefix takes longer to start a program.
    for _ in $(seq 200); do
      [ "$(ctl status | sed -n 's/.* requests=\([0-9]*\)$/\1/p')" -gt "$requests" ] && break
      sleep 0.05
    done
  fi
  code=0
  # Wine hands the program its arguments decoded from UTF-8 only in a UTF-8 locale.
  LC_ALL=C.UTF-8 timeout 60 "$wine" "$tarnwick_exe" "${words[@]}" >"$work/tool-out" \
    2>"$work/tool-err" || code=$?
  out=$(tr -d '\r' <"$work/tool-out")
  if [ "$want_out" = "{help}" ]; then
    want_out=$(timeout 60 "$wine" "$tarnwick_exe" --help | tr -d '\r') || fail "tarnwick.exe --help failed"
  fi
  if [ "$before" = late ]; then
    late_code=0
    wait "$late_pid" || late_code=$?
    [ "$late_code" = 2 ] || fail "the writer whose transfer timed out: status $late_code, not 2"
  fi
  [ "$code" -eq "$want_code" ] ||
    fail "tarnwick.exe $args: status $code, not $want_code: $(tr -d '\r' <"$work/tool-err")"
  [ "$out" = "$want_out" ] || fail "tarnwick.exe $args printed: $out"
  status=$(ctl status) || fail "tarnwick-simctl status failed"
  [[ $status == *" output=$want_output "* ]] ||
    fail "tarnwick.exe $args left the driver at: $status"
  [[ $status == *" requests=$((requests + want_requests))" ]] ||
    fail "tarnwick.exe $args: $want_requests requests expected after $requests: $status"
  if [ "$before" = unplug ]; then
    ctl plug >/dev/null || fail "tarnwick-simctl plug failed"
  elif [ "$before" = noregistry ]; then
    timeout 60 "$wine" reg add "$regkey" /v DeviceName /t REG_SZ /d '\\.\TWUSBIO0' /f \
      >/dev/null 2>&1 || fail "could not write the registry value"
  fi
  ok "tarnwick.exe $args: status $code${want_out:+, $out}"
done
# The batch example laid out as in the zip (tarnwick.exe one folder up) and run from another
# folder: a whole sweep as if double-clicked (it waits for a key at the end), and unplugged,
# from a console (no wait), it stops at its first step with tarnwick's status, trying 0 mA on
# its way out (Wine's cmd has no timeout: the holds are skipped). Wine's cmd has no
# %cmdcmdline% either: the environment gives it, as Explorer's double-click and a console
# make it on Windows.
mkdir -p "$work/zip/examples"
cp "$tarnwick_exe" "$work/zip/"
cp "$source_dir/docs/examples/sweep.bat" "$work/zip/examples/"
sweep_bat="Z:${work//\//\\}\\zip\\examples\\sweep.bat"
for plugged in 1 0; do
  [ $plugged = 1 ] || ctl unplug >/dev/null || fail "tarnwick-simctl unplug failed"
  code=0
  started_by='"C:\windows\system32\cmd.exe"'
  [ $plugged = 0 ] || started_by="C:\windows\system32\cmd.exe /c \"\"$sweep_bat\" \""
  (cd "$work" && CMDCMDLINE=$started_by timeout 120 "$wine" cmd /c "$sweep_bat" </dev/null) \
    >"$work/tool-out" 2>"$work/tool-err" || code=$?
  if grep -qi 'press any key' "$work/tool-out"; then waited=1; else waited=0; fi
  [ $waited = $plugged ] || fail "sweep.bat waited for a key: $waited, started by $started_by"
  status=$(ctl status) || fail "tarnwick-simctl status failed"
  if [ $plugged = 1 ]; then
    [ "$code" -eq 0 ] && [ "$(grep -c '^set ' "$work/tool-out")" -eq 12 ] &&
      [[ $status == *" output=0 "* ]] ||
      fail "sweep.bat: status $code, $status: $(cat "$work/tool-out" "$work/tool-err" | tr -d '\r')"
  else
    ctl plug >/dev/null || fail "tarnwick-simctl plug failed"
    [ "$code" -eq 2 ] && [ "$(grep -c 'did not open' "$work/tool-err")" -eq 2 ] ||
      fail "sweep.bat unplugged: status $code: $(tr -d '\r' <"$work/tool-err")"
  fi
done
ok "sweep.bat from another folder sweeps to 2047 counts and back to 0 and waits when" \
  "double-clicked; from a console it stops at its first failure with status 2, no wait"

# --- the installer: installed silently, the installed programs set 50 mA, a newer one
# upgrades it, an older one is refused, and removing it leaves nothing ---
version=$(sed -n 's/^project(TarnwickTest VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
newer=${version%.*}.$((${version##*.} + 1))
zip_arch=win32
file -b "$exe" | grep -q 'PE32+' && zip_arch=win64
layout=$work/msi/TarnwickTest-$version-$zip_arch
rm -rf "$work/msi"
mkdir -p "$layout/examples"
cp "$exe" "$tarnwick_exe" "$build/README.txt" "$build/crlf/LICENSE.txt" "$layout/"
cp "$build/crlf/sweep.bat" "$layout/examples/"
for v in "$version" "$newer"; do
  "$source_dir/scripts/make_msi.sh" "$layout" "$build/src/app/resources/TarnwickTest.ico" \
    "$work/msi/$v.msi" "$v" || fail "make_msi.sh $v failed"
done
# No desktop entries made for the shortcut (winemenubuilder).
msiexec() { WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d" timeout 120 "$wine" msiexec "$@"; }
msi() { echo "Z:${work//\//\\}\\msi\\$1.msi"; }
installed() { ls -d "$WINEPREFIX/drive_c/Program Files"*/"Tarnwick Test" 2>/dev/null || true; }
# Wine puts a per-machine shortcut in the user's Start menu; Windows in the common one.
shortcuts() { find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/Tarnwick Test.lnk' | wc -l; }
# Apps & features lists both registry views; a 32-bit package's entry is in the 32-bit one.
uninstall_keys() {
  local view
  for view in '' 'Wow6432Node\'; do
    timeout 60 "$wine" reg query "HKLM\\Software\\${view}Microsoft\\Windows\\CurrentVersion\\Uninstall" \
      /s 2>/dev/null | tr -d '\r' || true
  done
}
uninstall_entries() {
  uninstall_keys | grep -A3 'DisplayName .*Tarnwick Test' | sed -n 's/^ *DisplayVersion .* //p'
}
# What a failed run left: its packages' product codes are not these ones'.
for product in $(uninstall_keys |
  awk '/^HKEY/ { key = $0; sub(/.*\\/, "", key) } /DisplayName .*Tarnwick Test/ { print key }'); do
  msiexec /x "$product" /qn >/dev/null 2>&1 || true
done
msiexec /i "$(msi "$version")" /qn || fail "msiexec /i $version.msi /qn failed"
dir=$(installed)
[ "$(wc -l <<<"$dir")" -eq 1 ] && [ -n "$dir" ] || fail "installed into: '$dir'"
for file in TarnwickTest.exe tarnwick.exe README.txt LICENSE.txt examples/sweep.bat; do
  cmp -s "$dir/$file" "$layout/$file" || fail "the installer put no $file, or another, in $dir"
done
[ "$(shortcuts)" -eq 1 ] || fail "no Start-menu shortcut after the install"
[ "$(uninstall_entries)" = "$version" ] || fail "Apps & features: $(uninstall_entries)"
code=0
timeout 60 "$wine" "$dir/tarnwick.exe" set 50mA >"$work/tool-out" 2>"$work/tool-err" || code=$?
[ "$code" -eq 0 ] || fail "the installed tarnwick.exe set 50mA: status $code"
wait_for_status 1 plugged=1 output=1024
exe_built=$exe
exe="$dir/TarnwickTest.exe"
start_program "$work/trace-msi.txt"
wait_for_line "$START_LIMIT" 0 '"lblSerNum":"Serial Number: 305419896"'
wait_for_status "$POLL_LIMIT" output=0
focus_window >/dev/null
timeout 10 xdotool type --delay 100 1024 || fail "xdotool could not type"
timeout 10 xdotool key alt || fail "xdotool could not send alt"
wait_for_status "$EVENT_LIMIT" output=1024
exit_program
exe=$exe_built
ok "msiexec /i /qn installed $version under $(basename "$(dirname "$dir")"), with a shortcut" \
  "and an entry in Apps & features; the installed tool and window set 50 mA"
msiexec /i "$(msi "$newer")" /qn || fail "msiexec /i $newer.msi /qn failed"
[ "$(installed)" = "$dir" ] && [ "$(uninstall_entries)" = "$newer" ] && [ "$(shortcuts)" -eq 1 ] ||
  fail "after the upgrade: '$(installed)', Apps & features '$(uninstall_entries)'"
msiexec /i "$(msi "$version")" /qn >/dev/null 2>&1 && fail "the older installer replaced $newer"
[ "$(uninstall_entries)" = "$newer" ] || fail "after the older installer: $(uninstall_entries)"
msiexec /x "$(msi "$newer")" /qn || fail "msiexec /x $newer.msi /qn failed"
[ -z "$(installed)" ] && [ "$(shortcuts)" -eq 0 ] && [ -z "$(uninstall_entries)" ] ||
  fail "left after the removal: '$(installed)', $(shortcuts) shortcuts, '$(uninstall_entries)'"
ok "$newer upgraded $version, $version did not replace $newer, msiexec /x left nothing"

# tarnwick.exe serve through the driver, driven from the Linux side by Debian's PyVISA with the
# README's example; SIGINT, which Wine hands the program as Ctrl+C, ends it. The signal goes to
# tarnwick.exe's own process: the loader started it through start.exe, which passes none on.
"$wine" "$tarnwick_exe" serve --listen 127.0.0.1:0 >"$work/serve-out" 2>&1 &
serve_pid=$!
for _ in $(seq 300); do grep -q '^serving' "$work/serve-out" && break || sleep 0.1; done
port=$(tr -d '\r' <"$work/serve-out" | sed -n 's/^serving SCPI on 127.0.0.1:\([0-9]*\) .*/\1/p')
printed=$(TARNWICK_VISA="TCPIP0::127.0.0.1::$port::SOCKET" timeout 60 /usr/bin/python3 \
  "$source_dir/docs/examples/visa.py") || fail "visa.py through tarnwick.exe serve: $printed"
code=0
server=$(ours | awk '$2 ~ /tarnwick\.exe$/ {print $1}')
kill -INT $server && wait "$serve_pid" || code=$?
[[ $printed == 'Tarnwick,Tarnwick Test,305419896,'*$'\n0,"No error"\n5.002443E-02' ]] &&
  [ "$code" -eq 0 ] && [[ $(ctl status) == *" output=1024 "* ]] ||
  fail "tarnwick.exe serve: status $code, $(ctl status), printed: $printed"
ok "tarnwick.exe serve: PyVISA set 50mA through it; Ctrl+C ended it"

# --- start without the registry value, at 144 DPI ---
timeout 60 "$wine" reg delete "$regkey" /v DeviceName /f >/dev/null 2>&1 ||
  fail "could not delete the registry value"
set_dpi 144
requests=$(ctl status | sed -n 's/.* requests=\([0-9]*\)$/\1/p') ||
  fail "tarnwick-simctl status failed"
start_program "$work/trace-2.txt"
wait_for_line "$START_LIMIT" 0 '"lblSerNum":'
first=$(state_lines | head -n 1)
[ "$first" = '{"lblSerNum":"No controller, check USB connection.","txtCurrent":"0","colour":"black","lblMv":"0mA"}' ] ||
  fail "first state line without the registry value: $first"
focus_window >/dev/null
# The first poll may already have come: it reads no serial number without a device.
json=$(window_json)
case "$json" in
  '{"lblSerNum":"No controller, check USB connection.","txtCurrent":"0","lblMv":"0mA","cmdExit":"&Exit"}' | \
    '{"lblSerNum":"Serial Number: 0","txtCurrent":"0","lblMv":"0mA","cmdExit":"&Exit"}') ;;
  *) fail "without the registry value the window reads $json" ;;
esac
wait_for_line "$POLL_LIMIT" 0 '"lblSerNum":"Serial Number: 0"'
json=$(window_json)
grep -qF '"lblSerNum":"Serial Number: 0"' <<<"$json" || fail "after a poll the window reads $json"
wait_for_status 1 "requests=$requests"
ok "without the registry value: No controller, check USB connection., then the poll's" \
  "Serial Number: 0; no call reached the driver"
read -r client_x client_y client_width client_height <<<"$(ctl client)" ||
  fail "tarnwick-simctl client failed"
check_client_area "$client_x" "$client_y" "$client_width" "$client_height" 144 \
  "$work-144dpi.png"
exit_program Tab Return
ok "Enter on Exit ended the program"

# --- the driver's edges the program never reaches ---
timeout 120 "$wine" "$driver_test" --gtest_brief=1 >"$work/driver-test.txt" 2>&1 ||
  fail "the driver's own tests failed:
$(tr -d '\r' <"$work/driver-test.txt")"
ok "the driver's own tests: $(tr -d '\r' <"$work/driver-test.txt" | grep -F 'PASSED')"

# Stopped, the driver takes its device names along; started again, it is a fresh board.
timeout 60 "$wine" sc stop twusbio_sim >/dev/null 2>&1 || fail "sc stop twusbio_sim failed"
ctl status >/dev/null 2>&1 && fail "the control device outlived the driver"
timeout 60 "$wine" sc start twusbio_sim >/dev/null 2>&1 || fail "sc start after sc stop failed"
status=$(ctl status) || fail "tarnwick-simctl status failed after the restart"
[ "$status" = "status plugged=1 output=0 loads=0 serial=12345 held=0 cancelled=0 requests=0" ] ||
  fail "the restarted driver reports: $status"
ok "sc stop unloads the driver, sc start brings a fresh one"

# --- nothing of ours stays ---
timeout 20 wineserver -k 2>/dev/null || true
timeout 20 wineserver -w 2>/dev/null || true
left=
for _ in $(seq 50); do
  left=$(ours)
  [ -z "$left" ] && break
  sleep 0.1
done
[ -z "$left" ] || fail "processes of the Wine prefix left after wineserver -k: $left"
ok "no process of the Wine prefix is left"
echo "$ok_rows" >"$work/ok-rows"
echo "PASSED: Wine end-to-end test with the stand-in driver ($ok_rows checks)"
