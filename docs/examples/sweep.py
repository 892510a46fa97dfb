#!/usr/bin/env python3
"""A current sweep: 0 to 100 mA in 10 mA steps, each held for a second (SWEEP_HOLD seconds).
Stops at the first step the controller does not take, with tarnwick's exit status. Either way
it ends by setting 0 mA, so the board is never left driving current."""
import json
import os
import subprocess
import sys
import time

hold = float(os.environ.get("SWEEP_HOLD", "1"))


def set_current(ma):
    try:
        run = subprocess.run(["tarnwick", "--json", "set", f"{ma}mA"],
                             capture_output=True, text=True, check=False)
    except FileNotFoundError:
        return 127, "tarnwick is not on PATH"  # the status a shell gives
    # A tool that died without its JSON line is a failure all the same.
    result = json.loads(run.stdout) if run.stdout.strip() else {"ok": False}
    if result["ok"]:
        print(f"{result['counts']} counts ({result['mA']}mA) on controller {result['serial']}")
    return run.returncode or (0 if result["ok"] else 1), result.get("error", run.stderr.strip())


status = 0
try:
    for ma in range(0, 101, 10):
        status, error = set_current(ma)
        if status != 0:
            print(f"sweep stopped at {ma}mA: {error} (exit status {status}); setting 0mA",
                  file=sys.stderr)
            break
        time.sleep(hold)
finally:
    zero, error = set_current(0)
    if zero != 0:
        print(f"setting 0mA failed: {error} (exit status {zero})", file=sys.stderr)
sys.exit(status or zero)
