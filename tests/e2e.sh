#!/usr/bin/env bash
# End to end: the real program under Xvfb.  Plays a few seconds windowed and
# silent, is ended by an Escape key press and must exit 0; a script with an
# unknown label must exit 1 with the exact error line.
set -u
bin=$1
show=$2
xclose=$3
work=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "e2e: $*" >&2; exit 1; }

# A private X server on a free display number.
for n in $(seq 90 120); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || { disp=:$n; break; }
done
Xvfb "$disp" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${disp#:}" ] && break; sleep 0.1; done
export DISPLAY=$disp

# 1. The show plays and Escape ends it with exit code 0.
cd "$show" || fail "no show folder $show"
"$bin" --windowed --silent >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --name 'Velmorin / Tarkv' 2>/dev/null | head -n1)
  [ -n "$win" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
[ -n "$win" ] || { cat "$work/out.txt" "$work/err.txt" >&2; fail "no window appeared"; }
sleep 3
kill -0 $pid 2>/dev/null || { cat "$work/err.txt" >&2; fail "the program ended before Escape"; }
xdotool windowactivate --sync "$win" >/dev/null 2>&1 || xdotool windowfocus "$win" >/dev/null 2>&1
xdotool key --window "$win" Escape
xdotool key Escape
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then kill $pid; fail "Escape did not end the show"; fi
wait $pid
rc=$?
[ $rc -eq 0 ] || { cat "$work/err.txt" >&2; fail "exit code $rc after Escape, expected 0"; }
echo "e2e: Escape ended the show with exit code 0"

# 2. The close button ends the show with exit code 0, here during the title.
"$bin" --windowed --silent >/dev/null 2>"$work/err3.txt" &
pid=$!
win=""
for _ in $(seq 100); do
  win=$(xdotool search --name 'Velmorin / Tarkv' 2>/dev/null | head -n1)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || fail "no window appeared for the close test"
sleep 1
"$xclose" "$win" || fail "could not send the close request"
for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
if kill -0 $pid 2>/dev/null; then kill $pid; fail "the close button did not end the show"; fi
wait $pid
rc=$?
[ $rc -eq 0 ] || { cat "$work/err3.txt" >&2; fail "exit code $rc after the close button, expected 0"; }
echo "e2e: the close button ended the show with exit code 0"

# 3. An unknown label stops with exit code 1 and the exact line on stdout.
mkdir "$work/bad"
cp "$show/velmorin.dat" "$show/velmorin.xm" "$work/bad/"
printf 'tolvek.plg\noutput: screen in=x;\n}\n' >"$work/bad/velmorin.plg"
cd "$work/bad"
"$bin" --windowed --silent >"$work/out2.txt" 2>"$work/err2.txt"
rc=$?
[ $rc -eq 1 ] || { cat "$work/err2.txt" >&2; fail "exit code $rc for an unknown label, expected 1"; }
expected="-> Error: plg_Get(): label 'x' doesn't exists !"
[ "$(cat "$work/out2.txt")" = "$expected" ] || fail "stdout was '$(cat "$work/out2.txt")'"
echo "e2e: unknown label gave exit code 1 and the exact error line"
