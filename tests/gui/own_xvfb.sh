# Sourced by the window tests: an X server of the test's own, screenshots, the check that the
# window draws each control's border where its geometry puts it, and the check that a key's own
# key-down (not the poll) wrote a value. Every function needs a `fail` function; a test that
# counts its passed checks defines `ok` before sourcing this.
declare -F ok >/dev/null || ok() { echo "ok: $*"; }

# Starts the X server before the first wine command (Wine keeps the display it first saw).
# Needs $work; sets xvfb_pid and exports DISPLAY.
start_own_xvfb() {
  local display_file=$work/display
  rm -f "$display_file"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$display_file" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    sleep 0.1
  done
  [ -s "$display_file" ] || fail "Xvfb gave no display number within 10 s"
  DISPLAY=:$(tr -d '\n' <"$display_file")
  export DISPLAY
}

# Saves a picture of one window (with its frame) to a PNG, the pointer moved off the entry
# first so no tooltip covers it. Needs `fail`.
screenshot_window() {
  local window=$1 out=$2
  timeout 10 xdotool mousemove 790 590 || true
  sleep 0.5
  eval "$(timeout 10 xdotool getwindowgeometry --shell "$window")"
  # shellcheck disable=SC2153  # X, Y, WIDTH and HEIGHT come from the eval above
  timeout 30 import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out" ||
    fail "screenshot failed"
  ok "screenshot $out (${WIDTH}x${HEIGHT})"
}

# Wine's own fonts in the prefix: without Marlett the caption buttons draw as letters, and
# Tahoma is the face the Windows controls are drawn with. Needs WINEPREFIX.
install_wine_fonts() {
  local font fonts=/usr/share/wine/fonts
  for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
    [ -f "$fonts/$font" ] || fail "$fonts/$font not found (Debian package fonts-wine)"
    cp -u "$fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/" || fail "could not install $font"
  done
}

# check_client_area X Y WIDTH HEIGHT DPI OUT.png: the window's client area, at the given place on
# the screen, is 3585 x 930 twips at DPI, and the first drawn row of the entry's and of Exit's
# top border is the row of their top: nothing (the serial-number label above them, which
# overlaps both) paints over them. Saves the client area to OUT.png.
check_client_area() {
  local x=$1 y=$2 width=$3 height=$4 dpi=$5 out=$6 result
  timeout 30 import -window root -crop "${width}x${height}+${x}+${y}" +repage "$out" ||
    fail "screenshot of the client area failed"
  result=$(convert "$out" -depth 8 ppm:- | python3 -c '
import sys
dpi = int(sys.argv[1])
px = lambda twips: (twips * dpi + 720) // 1440
data = sys.stdin.buffer.read()
fields = data.split(maxsplit=4)
width, height = int(fields[1]), int(fields[2])
pixels = fields[4]
def at(x, y):
    i = 3 * (y * width + x)
    return pixels[i:i + 3]
problems = []
if (width, height) != (px(3585), px(930)):
    problems.append("client area %dx%d, not %dx%d" % (width, height, px(3585), px(930)))
background = at(width - 1, height - 1)  # no control reaches the bottom right corner
for name, left, top, w in (("txtCurrent", 105, 525, 645), ("cmdExit", 2835, 525, 675)):
    columns = range(px(left) + 3, px(left) + px(w) - 3)  # away from rounded corners
    first = None
    for row in range(px(top) - 6, min(px(top) + 3, height)):
        drawn = sum(at(c, row) != background for c in columns)
        if 2 * drawn >= len(columns):
            first = row
            break
    if first != px(top):
        problems.append("%s: first drawn row of its top border is %s, not %d" % (name, first, px(top)))
print("; ".join(problems))
' "$dpi") || fail "could not read the screenshot $out"
  [ -z "$result" ] || fail "at $dpi DPI: $result (picture: $out)"
  ok "at $dpi DPI the client area is ${width}x${height} and the entry's and Exit's borders show ($out)"
}

# written_by_key LOG VALUE: the request log (one request a line, as tarnwick-sim and
# tarnwick-simctl print them) holds a write of VALUE (latch high, low, high) that a key-down
# made: one not right after an identify, as every write of the poll is.
written_by_key() {
  local log=$1 value=$2 low high latched
  low=$(printf '%02x' $((value & 255)))
  high=$(printf '%02x' $((value >> 8)))
  latched=$(printf '%02x' $((value >> 8 | 8)))
  awk -v latched="in=08 12 0a 0a $low $latched 00 00" -v open="in=08 12 0a 0a $low $high 00 00" '
    { line[NR] = $0 }
    END {
      for (i = 2; i + 2 <= NR; i++) {
        if (index(line[i], latched) && index(line[i + 1], open) && index(line[i + 2], latched) &&
            !index(line[i - 1], "in=08 12 0b 0a")) exit 0
      }
      exit 1
    }' <<<"$log"
}
