#!/bin/sh
# A current sweep: 0 to 100 mA in 10 mA steps, each held for a second (SWEEP_HOLD seconds).
# Stops at the first step the controller does not take, with tarnwick's exit status. Either
# way it ends by setting 0 mA, so the board is never left driving current.
hold=${SWEEP_HOLD:-1}
for ma in 0 10 20 30 40 50 60 70 80 90 100; do
  tarnwick set "${ma}mA" || {
    status=$?
    echo "sweep stopped at ${ma}mA: tarnwick exited with status $status; setting 0mA" >&2
    tarnwick set 0mA
    exit "$status"
  }
  sleep "$hold"
done
tarnwick set 0mA
