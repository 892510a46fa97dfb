#!/usr/bin/env bash
# Builds the program and starts it against the simulated controller: the window beside
# tarnwick-sim, whose console stays on this terminal for its fault controls. Without a
# display, the window's script driver runs on this terminal instead. Arguments go to
# tarnwick-sim (try --help).
#
# "run.sh simulator [ARGS]" starts the simulated controller alone, its console on this
# terminal until it is told to quit (or Ctrl+C), for the console tool run from another one.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

simulator_only=
if [ "${1:-}" = simulator ]; then
  simulator_only=1
  shift
fi

cmake --preset dev >/dev/null
if [ -n "$simulator_only" ]; then
  cmake --build --preset dev --target tarnwick-sim tarnwick
else
  cmake --build --preset dev --target tarnwick-sim tarnwick-test tarnwick-script tarnwick
fi

work=$(mktemp -d /tmp/tarnwick-run-XXXXXX)
socket="$work/controller.sock"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for_device() {
  for _ in $(seq 100); do
    [ -S "$socket" ] && return 0
    sleep 0.1
  done
  echo "tarnwick-sim did not start" >&2
  exit 1
}

if [ -n "$simulator_only" ]; then
  cat <<TEXT

The SIMULATED controller runs on this terminal: type 'status', 'unplug', 'plug' or 'help'
here; 'quit' or Ctrl+C ends it. In another terminal, the console tool:
  cd $PWD
  export PATH="\$PWD/build/dev/src/app/tool:\$PATH"
  tarnwick set 50mA

TEXT
  build/dev/sim/tarnwick-sim --socket "$socket" "$@"
elif [ -n "${DISPLAY:-}" ]; then
  echo
  echo "The window opens beside the SIMULATED controller, whose console is this terminal:"
  echo "type 'unplug', 'plug', 'status' or 'help' here. Close the window, press Alt+E or type"
  echo "'quit' here to end."
  echo
  (wait_for_device && exec build/dev/src/app/fltk/tarnwick-test) &
  window=$!
  pids+=("$window")
  # Without job control a background command reads /dev/null unless told otherwise.
  build/dev/sim/tarnwick-sim --socket "$socket" "$@" <&0 &
  sim=$!
  pids+=("$sim")
  # The run ends when the window closes or the simulator is told to quit.
  wait -n "$window" "$sim" || true
else
  commands="$work/sim-commands"
  mkfifo "$commands"
  sleep infinity >"$commands" &
  pids+=("$!")
  build/dev/sim/tarnwick-sim --socket "$socket" "$@" <"$commands" >"$work/sim.log" &
  sim=$!
  pids+=("$sim")
  # Its socket comes before the registry value, and the script driver reads the value once at
  # its start (the window reads it again every second): wait for "ready", printed after both.
  for _ in $(seq 300); do
    grep -qsx ready "$work/sim.log" && break
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.1
  done
  grep -qsx ready "$work/sim.log" || {
    echo "tarnwick-sim did not start: $(cat "$work/sim.log")" >&2
    exit 1
  }
  cat <<TEXT

No display here, so the window runs as its script driver on this terminal, against the
SIMULATED controller. One event per line:
  char C | backspace | key N (38 up, 40 down, 33 page up, 34 page down) | paste TEXT | tick | exit
After each event the window's state is printed as one line. Fault controls for the simulator:
  echo unplug > $commands      (also plug, status, serial N; its output: $work/sim.log)

TEXT
  build/dev/src/app/script/tarnwick-script
fi
