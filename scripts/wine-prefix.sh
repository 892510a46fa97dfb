# Sourced by the Wine tests and cmake/wine-run: makes the Wine prefix $WINEPREFIX (of the kind
# $WINEARCH names) when it is missing, or afresh when the installed set of Wine packages is not
# the one that made it. A prefix made before wine32 was installed keeps failing afterwards
# ("could not load kernel32.dll, status c0000135"), so the ready marker records the set.

# The installed Wine packages with their versions, and the prefix's kind.
tarnwick_wine_set() {
  dpkg-query -W -f='${Status} ${Package}:${Architecture} ${Version}\n' 'wine*' 'libwine*' \
    2>/dev/null | sed -n 's/^install ok installed //p' | sort
  echo "WINEARCH=${WINEARCH:-}"
}

# Returns non-zero when wineboot fails; prints what it does.
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
  timeout 180 wineboot --init >/dev/null 2>&1 || return 1
  timeout 60 wineserver -w || true
  printf '%s\n' "$wanted" >"$marker"
}
