#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
# Sourced by run.sh and test.sh; safe to run again.
set -euo pipefail

# Everything run.sh and test.sh call that a minimal Debian 12 lacks: file for dpkg-shlibdeps
# (the Debian package's dependencies), binutils for the hardening checks (readelf, nm), git for
# the format check's file list, lintian for the Debian package's conventions, openbox to frame
# the Linux window for its screenshot, wixl and msitools for the Windows installers, and, where
# the kernel runs 32-bit programs, wine32 (from the i386 architecture) beside wine64 so the i686
# build runs as a 32-bit program does on 64-bit Windows; PyVISA and lxi-tools, real clients of
# the instrument server (in Debian's /usr/bin/python3).
tarnwick_packages=(
  cmake ninja-build g++ clang-format googletest clang libclang-rt-14-dev valgrind
  dpkg-dev file binutils git lintian unzip python3 libbenchmark-dev wixl msitools
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine64 wine fonts-wine
  xvfb openbox xdotool imagemagick libfltk1.3-dev
  python3-pyvisa python3-pyvisa-py lxi-tools
)
source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

tarnwick_setup() {
  local missing=() sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # wine32 on a kernel that cannot run it makes Debian's plain `wine` fail for every program,
  # the 64-bit ones too (it picks the 32-bit loader whenever that is installed): there it is
  # not installed, and taken away if an earlier setup installed it.
  if tarnwick_probe_32bit; then
    echo "This kernel runs 32-bit programs: both Windows builds run under Wine."
    tarnwick_packages+=(wine32:i386)
  else
    echo "This kernel cannot run 32-bit programs: the i686 Windows build is built and checked," \
      "not run; Wine runs the x86_64 one."
    if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
      echo "Removing wine32:i386, which cannot run here and would break plain \`wine\`."
      DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y -qq wine32:i386
    fi
  fi
  for package in "${tarnwick_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

tarnwick_setup
