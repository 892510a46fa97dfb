#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
# Sourced by run.sh and test.sh; safe to run again.
set -euo pipefail

# Everything run.sh and test.sh call that a minimal Debian 12 lacks: file for dpkg-shlibdeps
# (the Debian package's dependencies), binutils for the hardening checks (readelf, nm), git for
# the format check's file list, lintian for the Debian package's conventions, openbox to frame
# the Linux window for its screenshot, wine32 (from the i386 architecture) beside wine64 so the
# i686 build runs as a 32-bit program does on 64-bit Windows; PyVISA and lxi-tools, real clients
# of the instrument server (in Debian's /usr/bin/python3).
tarnwick_packages=(
  cmake ninja-build g++ clang-format googletest clang libclang-rt-14-dev valgrind
  dpkg-dev file binutils git lintian unzip python3 libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine64 wine wine32:i386 fonts-wine
  xvfb openbox xdotool imagemagick libfltk1.3-dev
  python3-pyvisa python3-pyvisa-py lxi-tools
)

tarnwick_setup() {
  local missing=()
  for package in "${tarnwick_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

tarnwick_setup
