#!/usr/bin/env bash
# Builds every package into build/packages/: the Debian package (the Linux window, the console
# tool, the simulated controller, their man pages, the desktop entry and icon) and a zip per
# Windows target (the static window program and console tool, a readme for operators, the
# example script and the licence).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

rm -rf build/packages
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  (cd "build/$preset" && cpack >/dev/null)
done
ls -l build/packages/*.deb build/packages/*.zip
