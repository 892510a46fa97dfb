#!/usr/bin/env bash
# Runs the README's console transcripts as printed, and the sweep examples in docs/examples
# (shell and Python), with tarnwick against tarnwick-sim: a sweep ends at 0 mA, also when a step
# fails, which stops it with tarnwick's status.
# Usage: examples_test.sh TARNWICK_SIM TARNWICK
set -euo pipefail
[ $# -eq 2 ] || {
  echo "usage: $0 TARNWICK_SIM TARNWICK" >&2
  exit 2
}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
examples=$source_dir/docs/examples
sim_binary=$1
tool_dir=$(cd "$(dirname "$2")" && pwd)
work=$(mktemp -d /tmp/tw-examples-XXXXXX)
export TARNWICK_REGISTRY=$work/registry SWEEP_HOLD=0
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
cleanup() {
  [ -z "${SERVE_PID:-}" ] || kill "$SERVE_PID" 2>/dev/null || true
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

# The transcripts run in one shell from a tree laid out as a clone's after ./scripts/run.sh:
# docs/, and the tool where the dev build puts it. Each command must succeed and print the lines
# under it ("…" stands for any text, alone on its line for any lines).
mkdir -p "$work/clone/build/dev/src/app/tool"
ln -s "$source_dir/docs" "$work/clone/docs"
ln -s "$tool_dir/tarnwick" "$work/clone/build/dev/src/app/tool/tarnwick"
(cd "$work/clone" && python3 - "$source_dir/README.md") <<'PY' || fail "the README's transcripts"
import re, subprocess, sys
blocks = re.findall(r"^```console\n(.*?)^```", open(sys.argv[1]).read(), re.M | re.S)
steps = [step.split("\n", 1) for step in re.split(r"^\$ ", "".join(blocks), flags=re.M)[1:]]
script = "exec 2>&1\n" + "".join(f'{step[0]}\necho "@@ $?"\n' for step in steps)
out = subprocess.run(["bash", "-c", script], capture_output=True, text=True).stdout
parts = re.split(r"^@@ (\d+)\n", out, flags=re.M)
for (command, lines), printed, status in zip(steps, parts[0::2], parts[1::2]):
    pattern = re.escape(lines).replace("…\\\n", "(?:.*\n)*?").replace("…", ".*")
    if status != "0" or not re.fullmatch(pattern, printed):
        sys.exit(f"README: `{command}` exited with status {status}, printing:\n{printed}")
if not steps or len(parts) != 2 * len(steps) + 1:
    sys.exit(f"README: {len(steps)} commands, output:\n{out}")
print(f"ok: the README's {len(steps)} commands")
PY

# A tarnwick that fails at 50mA: each sweep stops there with its status and still ends at 0 mA.
mkdir "$work/failing"
printf '#!/bin/sh\ncase " $* " in *" 50mA "*) exit 2 ;; esac\nexec "%s/tarnwick" "$@"\n' \
  "$tool_dir" >"$work/failing/tarnwick"
chmod +x "$work/failing/tarnwick"
for example in sh python3; do
  code=0
  PATH="$work/failing:$PATH" "$example" "$examples"/sweep.${example%thon3} >/dev/null 2>"$work/err" ||
    code=$?
  [ "$code" -eq 2 ] && grep -q "sweep stopped at 50mA" "$work/err" ||
    fail "$example: status $code: $(cat "$work/err")"
  status=$(sim status)
  [[ $status == *" output=0 "* ]] || fail "$example: converter after the failed step: $status"
  echo "ok: the $example sweep stopped at 50mA and left the converter at 0"
done
# The README's PyVISA example, as shown there, through tarnwick serve with Debian's PyVISA.
/usr/bin/python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
  "$examples/visa.py" "$source_dir/README.md" || fail "the README does not show visa.py as it is"
"$tool_dir/tarnwick" serve --listen 127.0.0.1:0 >"$work/serve" &
SERVE_PID=$!
for _ in $(seq 100); do grep -q serving "$work/serve" && break || sleep 0.1; done
port=$(sed -n 's/^serving SCPI on 127.0.0.1:\([0-9]*\) .*/\1/p' "$work/serve")
printed=$(TARNWICK_VISA="TCPIP0::127.0.0.1::$port::SOCKET" /usr/bin/python3 "$examples/visa.py")
kill "$SERVE_PID" && wait "$SERVE_PID" || fail "tarnwick serve did not stop cleanly"
[[ $printed == $'Tarnwick,Tarnwick Test,12345,'*$'\n0,"No error"\n5.002443E-02' ]] ||
  fail "visa.py printed: $printed"
[[ $(sim status) == *" output=1024 "* ]] || fail "visa.py: the converter is not at 1024"
echo "ok: visa.py set 50mA through tarnwick serve"
echo "PASSED: the README's commands, the sweep examples and the PyVISA example"
