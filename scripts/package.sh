#!/usr/bin/env bash
# Builds every package into build/packages/: the Debian package (Linux window and simulated
# controller) and a zip per Windows target (the static .exe and a readme for operators).
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
