#!/usr/bin/env bash
# The Linux window (tarnwick-test, FLTK) driven the way an operator drives it, on a private Xvfb
# display, against the simulated controller: the first state and the serial-number poll, typing
# and the Up key reaching the converter, Alt and F10 writing like any key, the window's size and
# each control's border drawn where it belongs at 96 and 144 DPI, Escape leaving it open, and
# Alt+E, or Tab to Exit and Enter, ending the program cleanly. Saves a screenshot as
# BUILD_DIR/fltk-window.png; with TARNWICK_UPDATE_SCREENSHOT=1 also the window, framed by a
# window manager, as docs/screenshot-linux.png. Also the entry's right-click menu.
#
# Usage: tests/gui/fltk_window_test.sh BUILD_DIR
set -euo pipefail

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
sim=$build/sim/tarnwick-sim
app=$build/src/app/fltk/tarnwick-test

for program in Xvfb openbox xdotool import convert python3 timeout mkfifo; do
  if ! command -v "$program" >/dev/null; then
    echo "FAILED: $program is not installed (packages: xvfb openbox xdotool imagemagick)" >&2
    exit 1
  fi
done
for program in "$sim" "$app"; do
  if [ ! -x "$program" ]; then
    echo "FAILED: $program is not built" >&2
    exit 1
  fi
done

# Hang bounds only, never expectations of speed: the machine may be busy.
readonly START_LIMIT=30
readonly EVENT_LIMIT=20

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-gui.XXXXXX")
xvfb_pid=""
xvfb144_pid=""
sim_pid=""
app_pid=""
sim_in=""

# Asks a process we started to stop, then insists; never waits without a bound.
stop() {
  local pid=$1 tick
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for ((tick = 0; tick < 50; tick++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop "$app_pid"
  stop "$sim_pid"
  stop "${wm_pid:-}"
  stop "$xvfb_pid"
  stop "$xvfb144_pid"
  if [ -n "$sim_in" ]; then exec {sim_in}>&-; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

show_log() {
  if [ -s "$2" ]; then
    echo "--- $1 (last lines) ---" >&2
    tail -n 15 "$2" >&2
  fi
}

fail() {
  echo "FAILED: $*" >&2
  show_log "window trace" "$work/app.out"
  show_log "window errors" "$work/app.err"
  show_log "simulator" "$work/sim.out"
  show_log "Xvfb" "$work/xvfb.err"
  exit 1
}

# wait_until LIMIT WHAT COMMAND...: polls COMMAND until it succeeds, or fails the test.
wait_until() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    if ((SECONDS >= deadline)); then fail "no $what within ${limit}s"; fi
    sleep 0.1
  done
}

app_alive() { kill -0 "$app_pid" 2>/dev/null; }
app_gone() { ! app_alive; }
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }
last_trace_is() { [ "$(tail -n 1 "$work/app.out")" = "$1" ]; }
first_trace_present() { [ "$(wc -l <"$work/${1:-app.out}")" -ge 1 ]; }
display_known() { [ -n "$(head -n 1 "$work/$1" 2>/dev/null)" ] || ! kill -0 "$2"; }
status_count() { grep -c '^status ' "$work/sim.out" || true; }

status_after() { [ "$(status_count)" -gt "$1" ]; }

# Asks the simulator for its status and puts its answer in sim_status.
query_sim() {
  local before
  before=$(status_count)
  echo status >&"$sim_in"
  wait_until "$EVENT_LIMIT" "status line from the simulator" status_after "$before"
  sim_status=$(grep '^status ' "$work/sim.out" | tail -n 1)
}

source "$source_dir/tests/gui/own_xvfb.sh"

# start_display DPI FILE: a private display at DPI; Xvfb picks a free number itself and tells it
# on descriptor 3, written to $work/FILE. Sets started_pid and started_display.
start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi "$1" -nolisten tcp -noreset \
    3>"$work/$2" 2>>"$work/xvfb.err" &
  started_pid=$!
  wait_until "$START_LIMIT" "display number from Xvfb" display_known "$2" "$started_pid"
  started_display=$(head -n 1 "$work/$2")
  [ -n "$started_display" ] || fail "Xvfb did not start"
}

# start_app TRACE: the window on $DISPLAY, its state lines to $work/TRACE; sets app_pid and
# window, and gives the window the focus.
start_app() {
  TARNWICK_TRACE=1 "$app" >"$work/$1" 2>>"$work/app.err" {sim_in}>&- &
  app_pid=$!
  window=$(timeout "$START_LIMIT" xdotool search --sync --limit 1 --name '^Tarnwick Test$') ||
    fail "no window named 'Tarnwick Test'"
  timeout "$EVENT_LIMIT" xdotool windowfocus --sync "$window" || fail "cannot focus the window"
}

# check_window DPI: the window's client area and the borders of its entry and Exit at DPI.
check_window() {
  local X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y|WIDTH|HEIGHT)=')"
  check_client_area "$X" "$Y" "$WIDTH" "$HEIGHT" "$1" "$build/fltk-window-${1}dpi.png"
}

# end_app KEYS...: the keys press Exit; the program ends by itself, successfully.
end_app() {
  xdotool key --delay 200 "$@"
  wait_until "$EVENT_LIMIT" "end of the program after $*" app_gone
  if wait "$app_pid"; then code=0; else code=$?; fi
  app_pid=""
  [ "$code" -eq 0 ] || fail "the program exited with code $code after $*"
}

# press KEY VALUE STATE...: the key's own key-down (not the poll) writes VALUE, and the window
# shows STATE.
press() {
  local key=$1 value=$2 before
  shift 2
  before=$(wc -l <"$work/requests.log")
  xdotool key "$key"
  wait_until "$EVENT_LIMIT" "$value written by $key" last_trace_is "$(state "$@")"
  # From the last request before the key on.
  written_by_key "$(tail -n +"$before" "$work/requests.log")" "$value" ||
    fail "$key did not write $value itself"
}

# menu KEY: the entry's right-click menu (at 96 DPI), the item with access key KEY picked; the
# pointer then leaves, so no tooltip covers the window.
menu_open() { [ "$(xdotool search --onlyvisible --pid "$app_pid" | wc -l)" -ge 2 ]; }
menu() {
  xdotool mousemove --window "$window" 15 45 click 3
  wait_until "$EVENT_LIMIT" "the entry's menu" menu_open
  xdotool key "$1" mousemove 1000 700
}

# A trace line as ui::StateJson prints it.
state() {
  printf '{"lblSerNum":"%s","txtCurrent":"%s","colour":"%s","lblMv":"%s"}' "$1" "$2" "$3" "$4"
}

# --- private displays at 96 and 144 DPI ---
start_display 96 display
xvfb_pid=$started_pid
export DISPLAY=":$started_display"
start_display 144 display144
xvfb144_pid=$started_pid
display144=":$started_display"

# --- the simulated controller, publishing in a registry of our own ---
mkdir -m 0700 "$work/registry"
export TARNWICK_REGISTRY=$work/registry
mkfifo -m 0600 "$work/sim.in"
exec {sim_in}<>"$work/sim.in" # held open, so the simulator never sees the end of its input
"$sim" --socket "$work/dev.sock" --log "$work/requests.log" <"$work/sim.in" >"$work/sim.out" 2>&1 {sim_in}>&- &
sim_pid=$!
wait_until "$START_LIMIT" "'ready' from the simulator" has_line "$work/sim.out" ready

# --- the window ---
# For sanitizer builds: only the program's own leaks count, not fontconfig's caches.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$source_dir/tests/gui/lsan-suppressions.txt"
start_app app.out

# 1. The state after Form_Load, before any event; then the first poll shows the serial number.
wait_until "$EVENT_LIMIT" "first trace line" first_trace_present
first=$(head -n 1 "$work/app.out")
[ "$first" = "$(state "" 0 black 0mA)" ] || fail "first state is $first"
serial=$(state "Serial Number: 12345" 0 black 0mA)
wait_until "$EVENT_LIMIT" "serial number line" has_line "$work/app.out" "$serial"

# 2. Typed digits go in at the end and grey the entry; Up steps it and writes it.
xdotool type --delay 100 1000
xdotool key Up
wait_until "$EVENT_LIMIT" "1001 after typing 1000 and Up" \
  last_trace_is "$(state "Serial Number: 12345" 1001 black 48.9mA)"
has_line "$work/app.out" "$(state "Serial Number: 12345" 1000 grey 48.9mA)" ||
  fail "typing 1000 never showed 1000 in grey"
query_sim
[[ " $sim_status " == *" output=1001 "* ]] || fail "simulator after Up: $sim_status"

# 3. Alt and F10 are keys like any other: each writes the value on screen. A digit after Alt and
# Down after F10 reach the entry.
xdotool key 5
wait_until "$EVENT_LIMIT" "2047 after 5" \
  last_trace_is "$(state "Serial Number: 12345" 2047 grey 100.0mA)"
press alt 2047 "Serial Number: 12345" 2047 black 100.0mA
xdotool key BackSpace
wait_until "$EVENT_LIMIT" "204 after Backspace" \
  last_trace_is "$(state "Serial Number: 12345" 204 grey 10.0mA)"
press F10 204 "Serial Number: 12345" 204 black 10.0mA
xdotool key Down
wait_until "$EVENT_LIMIT" "203 after Down" \
  last_trace_is "$(state "Serial Number: 12345" 203 black 9.9mA)"

# A second window beside the first writes nothing: it says so on stderr, naming the first's
# process, and in a dialog; once the dialog is closed it is gone within a second, status 3.
before=$(wc -l <"$work/requests.log")
"$app" >/dev/null 2>"$work/second.err" {sim_in}>&- &
second_pid=$!
dialog=$(timeout "$START_LIMIT" xdotool search --sync --limit 1 --pid "$second_pid") ||
  fail "no dialog from the second window"
grep -qF "a Tarnwick Test window (process $app_pid) already runs" "$work/second.err" ||
  fail "the second window's stderr: $(cat "$work/second.err")"
timeout "$EVENT_LIMIT" xdotool windowfocus --sync "$dialog" key Return || fail "cannot close the dialog"
second_gone() { ! kill -0 "$second_pid" 2>/dev/null; }
for ((tick = 0; tick < 10; tick++)); do second_gone && break; sleep 0.1; done
second_gone || fail "the second window still runs a second after its dialog closed"
if wait "$second_pid"; then code=0; else code=$?; fi
[ "$code" -eq 3 ] || fail "the second window ended with status $code"
grep -qF 'in=08 12 0a 0a 00 00 00 00' <(tail -n +"$before" "$work/requests.log") &&
  fail "the second window wrote 0"
query_sim
[[ " $sim_status " == *" output=203 "* ]] || fail "simulator after the second window: $sim_status"
timeout "$EVENT_LIMIT" xdotool windowfocus --sync "$window" || fail "cannot focus the window"

# The client area is 3585 x 930 twips (239 x 62 pixels at 96 DPI), and no control paints over
# another's border.
check_window 96

# From here on a window manager frames the window, so the screenshot shows its title bar.
framed() { ! xdotool search --maxdepth 1 --name '^Tarnwick Test$' >/dev/null; }
openbox >"$work/wm.err" 2>&1 &
wm_pid=$!
wait_until "$START_LIMIT" "the window manager's frame" framed
timeout "$EVENT_LIMIT" xdotool windowfocus --sync "$window" || fail "cannot focus the window"

# The entry's menu, whose items are no keys: Select All and Cut empty it, Paste brings 203 back
# in grey, and the poll writes it. Then Up to the state the Windows screenshot shows.
menu a
menu t
menu p
wait_until "$EVENT_LIMIT" "the poll's write after Paste" \
  last_trace_is "$(state "Serial Number: 12345" 203 black 9.9mA)"
has_line "$work/app.out" "$(state "Serial Number: 12345" 203 grey 9.9mA)" || fail "Paste: not grey"
query_sim
[[ " $sim_status " == *" output=203 "* ]] || fail "simulator after Paste: $sim_status"
xdotool key Up Up Up

# 4. Screenshots, once the window has had a moment to paint its last state.
wait_until "$EVENT_LIMIT" "206" last_trace_is "$(state "Serial Number: 12345" 206 black 10.1mA)"
sleep 1
import -display "$DISPLAY" -window root "$build/fltk-window.png" ||
  fail "cannot take a screenshot"
if [ "${TARNWICK_UPDATE_SCREENSHOT:-}" = 1 ]; then
  mkdir -p "$source_dir/docs"
  import -display "$DISPLAY" -window "$window" -frame -strip "$source_dir/docs/screenshot-linux.png" ||
    fail "cannot take the window's screenshot"
  echo "updated $source_dir/docs/screenshot-linux.png"
fi

# Escape must not close the window: the Down after it still reaches a running program.
xdotool key Escape
xdotool key Down
wait_until "$EVENT_LIMIT" "205 after Escape and Down" \
  last_trace_is "$(state "Serial Number: 12345" 205 black 10.0mA)"
app_alive || fail "the program ended on Escape"

# 5. Alt+E presses Exit.
end_app alt+e

# 6. At 144 DPI: 359 x 93 pixels, the borders where they belong; Tab to Exit, Enter presses it.
export DISPLAY=$display144
start_app app144.out
wait_until "$EVENT_LIMIT" "first trace line at 144 DPI" first_trace_present app144.out
sleep 1
check_window 144
end_app Tab Return

echo quit >&"$sim_in"
echo "FLTK window test passed (screenshot: $build/fltk-window.png)"
