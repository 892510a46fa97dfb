#!/usr/bin/env python3
"""A current sweep: 0 to 100 mA in 10 mA steps, each held for a second (SWEEP_HOLD seconds).
Stops at the first step the controller does not take, with tarnwick's exit status."""
import json
import os
import subprocess
import sys
import time

hold = float(os.environ.get("SWEEP_HOLD", "1"))

for ma in range(0, 101, 10):
    run = subprocess.run(["tarnwick", "--json", "set", f"{ma}mA"],
                         capture_output=True, text=True, check=False)
    # A tool that died without its JSON line is a failure all the same.
    result = json.loads(run.stdout) if run.stdout.strip() else {"ok": False}
    if not result["ok"]:
        error = result.get("error", run.stderr.strip())
        print(f"sweep stopped at {ma}mA: {error} (exit status {run.returncode})",
              file=sys.stderr)
        sys.exit(run.returncode or 1)
    print(f"{result['counts']} counts ({result['mA']}mA) on controller {result['serial']}")
    time.sleep(hold)
