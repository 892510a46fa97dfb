#!/usr/bin/env bash
# What tarnwick serve adds to a write: 1000 sequential `CURR 0.05;*OPC?` round trips on
# loopback against tarnwick-sim, beside `SYST:VERS?` (the same trip with no device session) and
# the same 1000 set-points through 1000 `tarnwick set` runs. Compare the first with
# BM_UpdateDAC (the same write in-process) from tarnwick_bench.
# Usage: bench/serve_roundtrip.sh BUILD_DIR (a release build)
set -euo pipefail
build=${1:?usage: serve_roundtrip.sh BUILD_DIR}
work=$(mktemp -d /tmp/tw-serve-bench-XXXXXX)
export TARNWICK_REGISTRY=$work/registry
cleanup() {
  kill "${serve_pid:-}" "${sim_pid:-}" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/in"
"$build/sim/tarnwick-sim" --socket "$work/sock" <"$work/in" >"$work/sim" &
sim_pid=$!
exec 3>"$work/in"  # its input stays open until the end
for _ in $(seq 100); do grep -q ready "$work/sim" && break || sleep 0.1; done
"$build/src/app/tool/tarnwick" serve --listen 127.0.0.1:0 >"$work/serve" &
serve_pid=$!
for _ in $(seq 100); do grep -q serving "$work/serve" && break || sleep 0.1; done
port=$(sed -n 's/^serving SCPI on 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/serve")
python3 - "$port" <<'PY'
import socket, statistics, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
def trips(message, n=1000):
    times = []
    for _ in range(n):
        start = time.perf_counter()
        s.sendall(message)
        answer = b""
        while not answer.endswith(b"\n"):
            answer += s.recv(100)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6
for _ in range(3):
    write, bare = trips(b"CURR 0.05;*OPC?\n"), trips(b"SYST:VERS?\n")
    print(f"CURR 0.05;*OPC? {write:.0f} us, SYST:VERS? {bare:.0f} us (medians of 1000)")
PY
kill "$serve_pid" && wait "$serve_pid" || true
start=$EPOCHREALTIME
for _ in $(seq 1000); do "$build/src/app/tool/tarnwick" set 50mA >/dev/null; done
python3 -c "import sys; print(f'1000 tarnwick set runs: {float(sys.argv[2]) - float(sys.argv[1]):.2f} s')" \
  "$start" "$EPOCHREALTIME"
