#!/usr/bin/env bash
# The idle Linux window: CPU time used over 10 s of polling a simulated controller, and its
# resident memory. Usage: bench/idle_window.sh [BUILD_DIR] (default build/release).
set -euo pipefail
build=${1:-build/release}
seconds=${IDLE_SECONDS:-10}
work=$(mktemp -d /tmp/tw-idle-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec 8<> <(:)
Xvfb -displayfd 8 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=("$!")
read -r -t 30 display <&8
export DISPLAY=":$display"
mkdir -m 700 "$work/registry"
export TARNWICK_REGISTRY="$work/registry"
mkfifo "$work/in"
sleep infinity >"$work/in" &
pids+=("$!")
"$build/sim/tarnwick-sim" --socket "$work/dev.sock" <"$work/in" >"$work/sim.log" &
pids+=("$!")
timeout 30 bash -c "until grep -qsx ready '$work/sim.log'; do sleep 0.1; done"
"$build/src/app/fltk/tarnwick-test" &
window=$!
pids+=("$window")
sleep 2  # past start-up: fonts, first paint, first poll

ticks() { awk '{print $14 + $15}' "/proc/$window/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$window/status")
# The console prints only loads that change the output; status counts every one.
echo status >"$work/in"
timeout 10 bash -c "until grep -qs '^status ' '$work/sim.log'; do sleep 0.1; done" || true
polls=$(sed -n 's/^status .* loads=\([0-9]*\).*/\1/p' "$work/sim.log" | tail -n 1)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" -v rss="$rss" -v loads="${polls:-0}" 'BEGIN {
  printf "idle window: %.2f s CPU over %d s (%.2f%% of one core), resident %.1f MiB, %d converter loads seen\n",
         t / hz, s, 100 * t / hz / s, rss / 1024, loads }'
