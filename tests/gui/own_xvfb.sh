# Sourced by the Wine tests: starts an X server of the test's own, before the first wine
# command (Wine keeps the display it first saw). Needs $work and a `fail` function; sets
# xvfb_pid and exports DISPLAY.
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
  echo "ok: screenshot $out (${WIDTH}x${HEIGHT})"
}
