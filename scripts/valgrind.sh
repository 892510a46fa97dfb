#!/usr/bin/env bash
# Runs the Linux test programs under valgrind's memcheck; any error or leak fails the run.
# The window test (a shell script around a real X display) is left to the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

cmake --preset dev >/dev/null
cmake --build --preset dev
export TARNWICK_SIM=$PWD/build/dev/sim/tarnwick-sim
export TARNWICK_MEMORY_CHECKER=valgrind  # resident size is memcheck's, not ours
status=0
for test in core_tests posix_tests sim_tests e2e_tests; do
  echo "== $test under memcheck"
  if ! valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
      --track-fds=no "build/dev/tests/$test" --gtest_brief=1; then
    echo "FAILED: $test under memcheck"
    status=1
  fi
done
exit $status
