#!/usr/bin/env bash
# Builds the program and starts it against the simulated controller. Arguments go to
# tarnwick-sim (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

cmake --preset dev >/dev/null
cmake --build --preset dev --target tarnwick-sim tarnwick-write

echo
echo "Starting the SIMULATED controller. In another terminal, write a set-point through the"
echo "same link the program uses:   build/dev/src/app/tarnwick-write 1000"
echo "and watch the 'loaded' line appear here. Type 'help' here for fault controls, 'quit' to stop."
echo
exec build/dev/sim/tarnwick-sim "$@"
