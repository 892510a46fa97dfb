#!/usr/bin/env bash
# Checks what scripts/package.sh built: the zips hold the .exe, the operators' readme and the
# license, and the installers' tables say what they install; the Linux programs of the release build and of the Debian package are hardened; the
# Debian package installs, its programs carry the project's version, and its window starts
# (under Xvfb) against its own simulated controller. As root the package is installed for real
# and removed again, also when the install fails; otherwise it is unpacked into a scratch
# directory.
set -euo pipefail
cd "$(dirname "$0")/../.."
packages=build/packages
version=$(sed -n 's/^project(TarnwickTest VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

for arch in win32 win64; do
  zip=$packages/TarnwickTest-$version-$arch.zip
  [ -f "$zip" ] || fail "no $zip"
  listing=$(unzip -Z1 "$zip")
  for file in TarnwickTest.exe tarnwick.exe examples/sweep.bat README.txt LICENSE.txt; do
    grep -qx "TarnwickTest-$version-$arch/$file" <<<"$listing" || fail "$zip lacks $file"
  done
  unzip -p "$zip" "TarnwickTest-$version-$arch/README.txt" | grep -q "Tarnwick Test $version" ||
    fail "$zip: the readme does not name version $version"
  # What operators open in Notepad and cmd has CRLF line ends, every line.
  for file in README.txt LICENSE.txt examples/sweep.bat; do
    unzip -p "$zip" "TarnwickTest-$version-$arch/$file" | grep -qv $'\r$' &&
      fail "$zip: $file has a line without CRLF"
  done
  # Both programs carry an icon group (14), a version (16) and a manifest (24), and the version.
  scratch=$(mktemp -d)
  unzip -q "$zip" -d "$scratch"
  for exe in TarnwickTest.exe tarnwick.exe; do
    types=$(x86_64-w64-mingw32-objdump -p "$scratch/TarnwickTest-$version-$arch/$exe" |
      sed -n '/The .rsrc Resource Directory/,/^$/p' | sed -nE 's/^[0-9a-f]{3}   Entry: ID: 0x0000(..),.*/\1/p')
    [ "$(tr '\n' ' ' <<<"$types")" = "03 0e 10 18 " ] || fail "$zip: $exe has resources $types"
    strings -el "$scratch/TarnwickTest-$version-$arch/$exe" | grep -qx "$version.0" ||
      fail "$zip: $exe carries no version $version"
  done
  rm -rf "$scratch"

  # The installer beside it: per machine, under Program Files, the same five files, a
  # Start-menu shortcut to the window, and a major upgrade that refuses to downgrade.
  msi=$packages/TarnwickTest-$version-$arch.msi
  [ -f "$msi" ] || fail "no $msi"
  table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r' | sort; }
  programs=ProgramFilesFolder
  [ "$arch" = win32 ] || programs=ProgramFiles64Folder
  table Property | grep -qx "ProductVersion	$version" && table Property | grep -qx 'ALLUSERS	1' ||
    fail "$msi: not version $version per machine"
  table Directory | grep -qx "INSTALLDIR	$programs	Tarnwick Test" || fail "$msi: not in $programs"
  [ "$(table File | cut -f1 | tr '\n' ' ')" = "LICENSE.txt README.txt TarnwickTest.exe sweep.bat tarnwick.exe " ] ||
    fail "$msi: files $(table File | cut -f1)"
  table Shortcut | grep -q "^StartMenuShortcut	ProgramMenuFolder	Tarnwick Test	Window	" ||
    fail "$msi: no Start-menu shortcut to the window"
  [ "$(table Upgrade | cut -f2-3,5 | tr '\n' ' ')" = "	$version	1 $version		2 " ] ||
    fail "$msi: upgrade rows $(table Upgrade)"
  table LaunchCondition | grep -q '^NOT WIX_DOWNGRADE_DETECTED' || fail "$msi: downgrades allowed"
done

deb=$packages/tarnwick-test_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
[ "$(dpkg-deb -f "$deb" Package)" = tarnwick-test ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/tarnwick-test ./usr/bin/tarnwick-sim ./usr/bin/tarnwick \
  ./usr/share/applications/tarnwick-test.desktop \
  ./usr/share/icons/hicolor/48x48/apps/tarnwick-test.png ./usr/share/doc/tarnwick-test/copyright \
  ./usr/share/doc/tarnwick-test/changelog.gz ./usr/share/man/man1/tarnwick.1.gz \
  ./usr/share/man/man1/tarnwick-test.1.gz ./usr/share/man/man1/tarnwick-sim.1.gz; do
  grep -qx "$file" <<<"$contents" || fail "$deb lacks $file"
done
# Debian's conventions (man pages, changelog, stripped programs, ...): no error, no warning.
lint=$(lintian --fail-on error,warning "$deb" 2>&1) ||
  fail "lintian on $deb:
$(grep -v 'running with root privileges' <<<"$lint")"
echo "ok: lintian finds no error and no warning in $deb"

# Debian's hardening, read from the binary itself: PIE, full RELRO (a GNU_RELRO segment and
# BIND_NOW), the stack protector, and _FORTIFY_SOURCE's checked calls. At level 2 every printf
# and fprintf becomes its __*_chk form (snprintf may be folded back when proven safe).
elf_hardened() {
  local file=$1 dynamic symbols plain
  dynamic=$(readelf -dW "$file") || fail "readelf cannot read $file"
  readelf -hW "$file" | grep -qE 'Type:\s+DYN' && grep -qE '\(FLAGS_1\).*\bPIE\b' <<<"$dynamic" ||
    fail "$file is not a position-independent executable"
  readelf -lW "$file" | grep -qw GNU_RELRO || fail "$file has no GNU_RELRO segment"
  grep -qE '\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" ||
    fail "$file binds lazily (no BIND_NOW): its RELRO is partial"
  symbols=$(nm -D --undefined-only "$file")
  grep -qE ' __stack_chk_fail(@|$)' <<<"$symbols" || fail "$file has no stack protector"
  grep -qE ' __[a-z]+printf_chk(@|$)' <<<"$symbols" || fail "$file calls no fortified function"
  plain=$(grep -oE ' (v?f?printf|v?dprintf)(@|$)' <<<"$symbols" | tr -d ' @' | tr '\n' ' ' || true)
  [ -z "$plain" ] || fail "$file calls unfortified $plain"
}

work=$(mktemp -d /tmp/tw-package-XXXXXX)
pids=()
installed=
cleanup() {
  local status=$?
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  # Also a package that dpkg left unpacked or half-configured when its install failed.
  if [ -n "$installed" ] && dpkg -s tarnwick-test >/dev/null 2>&1; then
    if ! dpkg --purge tarnwick-test >"$work/purge.log" 2>&1; then
      cat "$work/purge.log" >&2
      echo "FAILED: could not remove tarnwick-test again: run dpkg --purge tarnwick-test" >&2
      status=1
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

dpkg-deb -x "$deb" "$work/root"
for file in build/release/src/app/fltk/tarnwick-test build/release/sim/tarnwick-sim \
  build/release/src/app/tool/tarnwick build/release/src/app/script/tarnwick-script \
  "$work"/root/usr/bin/*; do
  elf_hardened "$file"
done
echo "ok: release and packaged programs: PIE, full RELRO, stack protector, fortified calls"

# Checks from other work trees of this machine may run at once: only the one holding the lock
# installs the package; the others use the unpacked copy.
exec 7>/tmp/tarnwick-package-check.lock
if [ "$(id -u)" -eq 0 ] && flock -n 7 && ! dpkg -s tarnwick-test >/dev/null 2>&1; then
  installed=1
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i $deb: $(cat "$work/dpkg.log")"
  bin=/usr/bin
else
  bin=$work/root/usr/bin
fi
for program in tarnwick-sim tarnwick-test tarnwick; do
  [ "$("$bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done

exec 8<> <(:)
Xvfb -displayfd 8 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=("$!")
read -r -t 30 display <&8 || fail "Xvfb gave no display"
export DISPLAY=":$display"
mkdir -m 700 "$work/registry"
export TARNWICK_REGISTRY=$work/registry
mkfifo "$work/in"
sleep infinity >"$work/in" &
pids+=("$!")
"$bin/tarnwick-sim" --socket "$work/dev.sock" --serial 4711 <"$work/in" >"$work/sim.log" &
pids+=("$!")
timeout 30 bash -c "until grep -qsx ready '$work/sim.log'; do sleep 0.1; done" ||
  fail "the packaged tarnwick-sim did not start"
out=$("$bin/tarnwick" set 50mA) || fail "the packaged tarnwick set 50mA failed: $out"
[ "$out" = "set 1024 counts (50.0mA) on the controller with serial number 4711" ] ||
  fail "the packaged tarnwick set 50mA printed: $out"
TARNWICK_TRACE=1 "$bin/tarnwick-test" >"$work/trace" 2>"$work/window.err" &
pids+=("$!")
timeout 30 bash -c "until grep -qs 'Serial Number: 4711' '$work/trace'; do sleep 0.2; done" ||
  fail "the packaged window did not show the simulated serial: $(cat "$work/trace" "$work/window.err")"
echo "packages: 2 zips, 2 installers and the Debian package checked; the installed window ran"
