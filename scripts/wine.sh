# shellcheck shell=bash
# Sourced by setup.sh, test.sh, the Wine tests, scripts/wine-loader and cmake/wine-run: what
# this machine's kernel runs, the Wine loader of each program's bitness, and the test prefixes.

# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is installed, whatever it is
# asked to run, so on a kernel without 32-bit support every Wine call through it fails. Each
# call here names its loader instead.
TARNWICK_WINE64=/usr/lib/wine/wine64 TARNWICK_WINE32=/usr/lib/wine/wine

# Whether the kernel runs 32-bit x86 programs: some are built or booted without IA32 emulation.
# The probe is a 96-byte i386 ELF that only exits with status 42, so it needs nothing installed.
# With TARNWICK_ASSUME_NO_32BIT=1 the answer is no, to try the skip path on a machine that can;
# tarnwick_probe_32bit ignores it, for the decisions that change the machine.
tarnwick_probe_32bit() {
  local elf dir probe status=1
  elf='\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0'
  elf+='\0\0\0\0\64\0\40\0\1\0\50\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10'
  elf+='\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200'
  for dir in "${TMPDIR:-/tmp}" /var/tmp /dev/shm; do
    probe=$(mktemp "$dir/tarnwick-probe32.XXXXXX" 2>/dev/null) || continue
    chmod 700 "$probe"
    # A directory mounted noexec refuses a shell script too: then the answer is not the kernel's.
    printf '#!/bin/sh\nexit 0\n' >"$probe"
    if "$probe" 2>/dev/null; then
      # shellcheck disable=SC2059 # the escapes are the bytes
      printf "$elf" >"$probe"
      status=0
      "$probe" 2>/dev/null || status=$?
      rm -f "$probe"
      break
    fi
    rm -f "$probe"
  done
  [ "$status" -eq 42 ]
}
tarnwick_runs_32bit() {
  [ "${TARNWICK_ASSUME_NO_32BIT:-}" != 1 ] && tarnwick_probe_32bit
}
# Whether the running kernel's own configuration says it runs 32-bit programs: built with IA32
# emulation, not disabled by default nor on its command line. No answer where the configuration
# cannot be read. A second witness, so that a probe answering no by mistake does not pass.
tarnwick_kernel_config_runs_32bit() {
  local config
  config=$(zcat /proc/config.gz 2>/dev/null || cat "/boot/config-$(uname -r)" 2>/dev/null) ||
    return 1
  grep -qx 'CONFIG_IA32_EMULATION=y' <<<"$config" &&
    ! grep -qx 'CONFIG_IA32_EMULATION_DEFAULT_DISABLED=y' <<<"$config" &&
    ! grep -qE '(^| )ia32_emulation=' /proc/cmdline 2>/dev/null
}
# Why the i686 programs do not run here, for the summary and the skipped tests.
tarnwick_no_32bit_reason() {
  if [ "${TARNWICK_ASSUME_NO_32BIT:-}" = 1 ]; then
    echo "TARNWICK_ASSUME_NO_32BIT=1 says this kernel cannot run 32-bit programs"
  else
    echo "this kernel cannot run 32-bit programs"
  fi
}

# The loader for a program: by its PE header's machine field for a file (0x14c i386, else
# x86_64), by the prefix's kind for Wine's own programs (reg, sc, cmd, wineboot, msiexec).
tarnwick_wine_loader() {
  local program=${1:-} offset machine=
  if [ -f "$program" ]; then
    offset=$(od -An -tu4 -j60 -N4 "$program" 2>/dev/null | tr -d ' ')
    [ -z "$offset" ] || machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$program" | tr -d ' ')
    [ "$machine" = 014c ] && { echo "$TARNWICK_WINE32"; return; }
    echo "$TARNWICK_WINE64"
  elif [ "${WINEARCH:-}" = win32 ]; then
    echo "$TARNWICK_WINE32"
  else
    echo "$TARNWICK_WINE64"
  fi
}

# The installed Wine packages with their versions, and the prefix's kind.
tarnwick_wine_set() {
  dpkg-query -W -f='${Status} ${Package}:${Architecture} ${Version}\n' 'wine*' 'libwine*' \
    2>/dev/null | sed -n 's/^install ok installed //p' | sort
  echo "WINEARCH=${WINEARCH:-}"
}

# Makes the Wine prefix $WINEPREFIX (of the kind $WINEARCH names) when it is missing, or afresh
# when the installed set of Wine packages is not the one that made it: a prefix made before
# wine32 was installed keeps failing afterwards ("could not load kernel32.dll, status
# c0000135"), so the ready marker records the set. Returns non-zero when wineboot fails; prints
# what it does.
tarnwick_wine_prefix() {
  local marker=$WINEPREFIX/.tarnwick-ready wanted
  [ -n "${WINEPREFIX:-}" ] || return 1
  wanted=$(tarnwick_wine_set)
  [ -f "$marker" ] && [ "$(cat "$marker")" = "$wanted" ] && return 0
  if [ -d "$WINEPREFIX" ]; then
    echo "the Wine prefix $WINEPREFIX was made by another set of Wine packages: making it again"
    timeout 20 wineserver -k 2>/dev/null || true
    timeout 20 wineserver -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  else
    echo "making the Wine prefix $WINEPREFIX (once, about 700 MB)"
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  timeout 180 "$(tarnwick_wine_loader wineboot)" wineboot --init >/dev/null 2>&1 || return 1
  timeout 60 wineserver -w || true
  printf '%s\n' "$wanted" >"$marker"
}
