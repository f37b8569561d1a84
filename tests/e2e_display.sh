#!/usr/bin/env bash
# End to end on a 1920x1080 desktop (Xvfb): full screen fills the centred
# rectangle of the enlarged picture, --windowed --scale 2 opens a 1280x600
# window, a paced run stays under a quarter of a core, and the rehearsal
# keys of --watch move the show and say where it is.
set -u
bin=$1
show=$2
xshot=$3
work=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "e2e_display: $*" >&2; [ -f "$work/err" ] && cat "$work/err" >&2; exit 1; }

# A private X server of our own.
. "$(dirname "$0")/xvfb.sh"
start_xvfb 1920x1080x24
cd "$show" || fail "no show folder $show"

start_show() {  # arguments for the program
  "$bin" --silent "$@" >/dev/null 2>"$work/err" &
  pid=$!
  win=""
  for _ in $(seq 100); do
    win=$(xdotool search --name 'Velmorin / Tarkv' 2>/dev/null | head -n1)
    [ -n "$win" ] && return 0
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  fail "no window appeared for $*"
}
stop_show() {
  kill $pid 2>/dev/null
  wait $pid 2>/dev/null
  pid=""
}

# 1. Full screen at scale 2: the 640x480 screen becomes 1280x960 centred on
# the desktop, at (320, 60); the show's 640x300 band at y = 90 is lit from
# (320, 240) to (1599, 839) and everything around it is black.
start_show --fullscreen --scale 2 --start-order 4
sleep 2
shot=$("$xshot") || fail "no screenshot"
stop_show
[ "$shot" = "screen 1920 1080 box 320 240 1599 839 black 0" ] ||
  fail "full screen at scale 2 shows '$shot'"
echo "e2e_display: full screen at scale 2 fills the centred 1280x600 band"

# 2. A window twice 640x300.
start_show --windowed --scale 2 --start-order 4
sleep 1
geometry=$(xdotool getwindowgeometry "$win" | awk '/Geometry/ {print $2}')
shot=$("$xshot")
stop_show
[ "$geometry" = "1280x600" ] || fail "the window is $geometry, not 1280x600"
case "$shot" in *"box 0 0 1279 599 "*) ;; *) fail "the window shows '$shot'" ;; esac
echo "e2e_display: --windowed --scale 2 opens a 1280x600 window"

# 3. Paced to 60 frames a second, the show takes well under a core: its CPU
# time over three seconds of wall time, after start-up.
start_show --windowed
sleep 2
tick=$(getconf CLK_TCK)
cpu0=$(awk '{print $14 + $15}' /proc/$pid/stat); t0=$(date +%s%N)
sleep 3
cpu1=$(awk '{print $14 + $15}' /proc/$pid/stat); t1=$(date +%s%N)
stop_show
share=$(( (cpu1 - cpu0) * 1000000000 / tick * 100 / (t1 - t0) ))
[ $share -le 25 ] || fail "a paced run took ${share}% of a core"
echo "e2e_display: a paced run took ${share}% of a core"

# 4. Rehearsal: Right steps to the next order, Space pauses and resumes,
# each said on stderr with the new position.
start_show --windowed --watch --verbose --start-order 4
sleep 1
xdotool windowactivate --sync "$win" >/dev/null 2>&1 || xdotool windowfocus "$win" >/dev/null 2>&1
for key in Right space space; do
  xdotool key --window "$win" $key
  sleep 0.5
done
stop_show
grep -q '^velmorin: order 5 row 0 (komin3d)$' "$work/err" || fail "no line for the jump to order 5"
grep -q '^velmorin: paused at order 5 row [0-9]* (komin3d)$' "$work/err" || fail "no line for the pause"
grep -q '^velmorin: resumed at order 5 row [0-9]* (komin3d)$' "$work/err" || fail "no line for the resume"
echo "e2e_display: Right and Space move and hold the show"
