#!/usr/bin/env bash
# The Linux window (tarnwick-test, FLTK) driven the way an operator drives it, on a private Xvfb
# display, against the simulated controller: the first state and the serial-number poll, typing
# and the Up key reaching the converter, the window's size, Escape leaving it open, and Alt+E
# ending the program cleanly. Saves a screenshot as BUILD_DIR/fltk-window.png; with
# TARNWICK_UPDATE_SCREENSHOT=1 also the window alone as docs/screenshot-linux.png.
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

for program in Xvfb xdotool import timeout mkfifo; do
  if ! command -v "$program" >/dev/null; then
    echo "FAILED: $program is not installed (packages: xvfb xdotool imagemagick)" >&2
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
  stop "$xvfb_pid"
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
first_trace_present() { [ "$(wc -l <"$work/app.out")" -ge 1 ]; }
display_known() { [ -n "$(head -n 1 "$work/display" 2>/dev/null)" ] || ! kill -0 "$xvfb_pid"; }
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

# A trace line as ui::StateJson prints it.
state() {
  printf '{"lblSerNum":"%s","txtCurrent":"%s","colour":"%s","lblMv":"%s"}' "$1" "$2" "$3" "$4"
}

# --- a private display: Xvfb picks a free number itself and tells it on descriptor 3 ---
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp -noreset \
  3>"$work/display" 2>"$work/xvfb.err" &
xvfb_pid=$!
wait_until "$START_LIMIT" "display number from Xvfb" display_known
display=$(head -n 1 "$work/display")
[ -n "$display" ] || fail "Xvfb did not start"
export DISPLAY=":$display"

# --- the simulated controller, publishing in a registry of our own ---
mkdir -m 0700 "$work/registry"
export TARNWICK_REGISTRY=$work/registry
mkfifo -m 0600 "$work/sim.in"
exec {sim_in}<>"$work/sim.in" # held open, so the simulator never sees the end of its input
"$sim" --socket "$work/dev.sock" <"$work/sim.in" >"$work/sim.out" 2>&1 {sim_in}>&- &
sim_pid=$!
wait_until "$START_LIMIT" "'ready' from the simulator" has_line "$work/sim.out" ready

# --- the window ---
# For sanitizer builds: only the program's own leaks count, not fontconfig's caches.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$source_dir/tests/gui/lsan-suppressions.txt"
TARNWICK_TRACE=1 "$app" >"$work/app.out" 2>"$work/app.err" {sim_in}>&- &
app_pid=$!
window=$(timeout "$START_LIMIT" xdotool search --sync --limit 1 --name '^Tarnwick Test$') ||
  fail "no window named 'Tarnwick Test'"
timeout "$EVENT_LIMIT" xdotool windowfocus --sync "$window" || fail "cannot focus the window"

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

# The client area is 3585 x 930 twips: 239 x 62 pixels at this display's 96 DPI.
geometry=$(xdotool getwindowgeometry --shell "$window")
if ! grep -qx 'WIDTH=239' <<<"$geometry" || ! grep -qx 'HEIGHT=62' <<<"$geometry"; then
  fail "window size is not 239x62: $(tr '\n' ' ' <<<"$geometry")"
fi

# 3. Screenshots, once the window has had a moment to paint its last state.
sleep 1
import -display "$DISPLAY" -window root "$build/fltk-window.png" ||
  fail "cannot take a screenshot"
if [ "${TARNWICK_UPDATE_SCREENSHOT:-}" = 1 ]; then
  mkdir -p "$source_dir/docs"
  import -display "$DISPLAY" -window "$window" -strip "$source_dir/docs/screenshot-linux.png" ||
    fail "cannot take the window's screenshot"
  echo "updated $source_dir/docs/screenshot-linux.png"
fi

# Escape must not close the window: the Down after it still reaches a running program.
xdotool key Escape
xdotool key Down
wait_until "$EVENT_LIMIT" "1000 after Escape and Down" \
  last_trace_is "$(state "Serial Number: 12345" 1000 black 48.9mA)"
app_alive || fail "the program ended on Escape"

# 4. Alt+E presses Exit: the program ends by itself, successfully.
xdotool key alt+e
wait_until "$EVENT_LIMIT" "end of the program after Alt+E" app_gone
if wait "$app_pid"; then code=0; else code=$?; fi
app_pid=""
[ "$code" -eq 0 ] || fail "the program exited with code $code after Alt+E"

echo quit >&"$sim_in"
echo "FLTK window test passed (screenshot: $build/fltk-window.png)"
