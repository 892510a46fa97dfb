#!/usr/bin/env bash
# Makes the Windows installer from a zip that scripts/package.sh built, with Debian's wixl
# (packaging/TarnwickTest.wxs): the same files, installed per machine under Program Files, a
# Start-menu shortcut to the window, an entry in Apps & features.
#
# Usage: scripts/make_msi.sh ZIP ICON OUT [VERSION]
#   ZIP      TarnwickTest-<version>-win32.zip or -win64.zip, or a folder laid out and named as
#            the one inside it
#   ICON     the programs' icon (src/app/resources/TarnwickTest.ico in that build)
#   OUT      the .msi to write
#   VERSION  the installer's version, the zip's by default (a test makes a newer one with it)
set -euo pipefail
if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  echo "usage: $0 ZIP ICON OUT [VERSION]" >&2
  exit 2
fi
zip=$(readlink -f "$1")
icon=$(readlink -f "$2")
out=$(readlink -f "$3")
wxs=$(readlink -f "$(dirname "$0")/../packaging/TarnwickTest.wxs")
name=$(basename "$zip" .zip)  # a folder keeps its name
case "$name" in
  TarnwickTest-*-win64) arch=x64 ;;
  TarnwickTest-*-win32) arch=x86 ;;
  *)
    echo "$0: $zip is not named TarnwickTest-VERSION-win32.zip or -win64.zip" >&2
    exit 2
    ;;
esac
version=${4:-$(sed -E 's/^TarnwickTest-(.*)-win(32|64)$/\1/' <<<"$name")}
command -v wixl >/dev/null || {
  echo "$0: wixl is not installed (Debian package wixl)" >&2
  exit 1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if [ -d "$zip" ]; then cp -r "$zip" "$scratch/"; else unzip -q "$zip" -d "$scratch"; fi
[ -d "$scratch/$name" ] || {
  echo "$0: $zip does not hold the folder $name" >&2
  exit 1
}
cp "$icon" "$scratch/TarnwickTest.ico"
# wixl takes the files' paths relative to where it runs.
(cd "$scratch" && wixl -a "$arch" -D "Version=$version" -D "Arch=$arch" -D "Files=$name" \
  -D Icon=TarnwickTest.ico -o "$out" "$wxs")
