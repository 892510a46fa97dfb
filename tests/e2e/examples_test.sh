#!/usr/bin/env bash
# Runs the sweep examples in docs/examples (shell and Python) with tarnwick against tarnwick-sim:
# a whole sweep ends at full scale, and with the controller unplugged each stops at its first
# step with tarnwick's status.
# Usage: examples_test.sh TARNWICK_SIM TARNWICK
set -euo pipefail
[ $# -eq 2 ] || {
  echo "usage: $0 TARNWICK_SIM TARNWICK" >&2
  exit 2
}
examples=$(cd "$(dirname "$0")/../../docs/examples" && pwd)
sim_binary=$1
tool_dir=$(cd "$(dirname "$2")" && pwd)
export PATH="$tool_dir:$PATH"
work=$(mktemp -d /tmp/tw-examples-XXXXXX)
export TARNWICK_REGISTRY=$work/registry SWEEP_HOLD=0
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
cleanup() {
  [ -n "${SIM_PID:-}" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

coproc SIM { exec "$sim_binary" --socket "$work/controller.sock"; }
# One answer line to a command, past the "loaded" lines the converter prints.
sim() {
  echo "$1" >&"${SIM[1]}"
  local line
  while IFS= read -r -t 10 line <&"${SIM[0]}"; do
    case "$line" in ok* | error:* | status*) echo "$line" && return 0 ;; esac
  done
  fail "tarnwick-sim gave no answer to $1"
}
until IFS= read -r -t 10 line <&"${SIM[0]}" && [ "$line" = ready ]; do :; done

run() {
  case "$1" in
    *.py) python3 "$examples/$1" ;;
    *) sh "$examples/$1" ;;
  esac
}
for example in sweep.sh sweep.py; do
  sim "serial 4242" >/dev/null
  run "$example" >"$work/out" 2>"$work/err" || fail "$example: status $?: $(cat "$work/err")"
  [ "$(wc -l <"$work/out")" -eq 11 ] || fail "$example: not 11 steps: $(cat "$work/out")"
  tail -n 1 "$work/out" | grep -q "2047 counts (100.0mA).* 4242$" ||
    fail "$example: last step $(tail -n 1 "$work/out")"
  status=$(sim status)
  [[ $status == *" output=2047 "* ]] || fail "$example: converter after the sweep: $status"

  sim unplug >/dev/null
  code=0
  run "$example" >"$work/out" 2>"$work/err" || code=$?
  sim plug >/dev/null
  [ "$code" -eq 2 ] || fail "$example unplugged: status $code, not 2"
  grep -q "sweep stopped at 0mA" "$work/err" || fail "$example unplugged: $(cat "$work/err")"
  [ "$(grep -c "did not open" "$work/err")" -eq 1 ] ||
    fail "$example went on after the first failure: $(cat "$work/err")"
  echo "ok: $example"
done
echo "PASSED: sweep examples"
