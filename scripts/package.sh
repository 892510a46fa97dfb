#!/usr/bin/env bash
# Builds every package into build/packages/: the Debian package (the Linux window, the console
# tool, the simulated controller, their man pages, the desktop entry and icon) and a zip per
# Windows target (the static window program and console tool, a readme for operators, the
# example script and the licence), and an installer (.msi) with the same files per target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

rm -rf build/packages
for preset in release win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  (cd "build/$preset" && cpack >/dev/null)
done
# An installer beside each zip, with the same files.
version=$(sed -n 's/^project(TarnwickTest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
for arch in win32 win64; do
  scripts/make_msi.sh "build/packages/TarnwickTest-$version-$arch.zip" \
    "build/$arch/src/app/resources/TarnwickTest.ico" "build/packages/TarnwickTest-$version-$arch.msi"
done
ls -l build/packages/*.deb build/packages/*.zip build/packages/*.msi
