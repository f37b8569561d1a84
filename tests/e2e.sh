#!/usr/bin/env bash
# End to end: the real program under Xvfb.  Plays a few seconds windowed and
# silent and is ended by an Escape key press, then by the close button, each
# with exit code 0; a script with an unknown label must exit 1 with the exact
# error line.  SIGTERM and Ctrl-C end the show, and a box waiting for its
# answer, at once.
set -u
bin=$1
show=$2
xclose=$3
work=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "e2e: $*" >&2; exit 1; }

# A private X server of our own.
. "$(dirname "$0")/xvfb.sh"
start_xvfb 1024x768x24

# Starts the show in the background; sets pid and win once its window is up.
start_show() {  # stderr-file
  "$bin" --windowed --silent >/dev/null 2>"$1" &
  pid=$!
  win=""
  for _ in $(seq 100); do
    win=$(xdotool search --name 'Velmorin / Tarkv' 2>/dev/null | head -n1)
    [ -n "$win" ] && return 0
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  cat "$1" >&2
  echo "-- X server log:" >&2; cat "$work/xvfb.log" >&2
  fail "no window appeared"
}

# Waits up to five seconds for the show to end; it must end with exit code 0.
expect_clean_end() {  # what-ended-it stderr-file
  for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  if kill -0 $pid 2>/dev/null; then kill $pid; fail "$1 did not end the show"; fi
  wait $pid
  local rc=$?
  [ $rc -eq 0 ] || { cat "$2" >&2; fail "exit code $rc after $1, expected 0"; }
  echo "e2e: $1 ended the show with exit code 0"
}

cd "$show" || fail "no show folder $show"

# 1. The show plays and Escape ends it.
start_show "$work/err1.txt"
sleep 3
kill -0 $pid 2>/dev/null || { cat "$work/err1.txt" >&2; fail "the program ended before Escape"; }
xdotool windowactivate --sync "$win" >/dev/null 2>&1 || xdotool windowfocus "$win" >/dev/null 2>&1
xdotool key --window "$win" Escape
xdotool key Escape
expect_clean_end "Escape" "$work/err1.txt"

# 2. The close button ends it too, here during the title.
start_show "$work/err2.txt"
sleep 1
"$xclose" "$win" || fail "could not send the close request"
expect_clean_end "the close button" "$work/err2.txt"

# 3. An unknown label stops with exit code 1 and the exact line on stdout.
mkdir "$work/bad"
cp "$show/velmorin.dat" "$show/velmorin.xm" "$work/bad/"
printf 'tolvek.plg\noutput: screen in=x;\n}\n' >"$work/bad/velmorin.plg"
cd "$work/bad"
"$bin" --windowed --silent >"$work/out3.txt" 2>"$work/err3.txt"
rc=$?
[ $rc -eq 1 ] || { cat "$work/err3.txt" >&2; fail "exit code $rc for an unknown label, expected 1"; }
expected="-> Error: plg_Get(): label 'x' doesn't exists !"
[ "$(cat "$work/out3.txt")" = "$expected" ] || fail "stdout was '$(cat "$work/out3.txt")'"
echo "e2e: unknown label gave exit code 1 and the exact error line"

# Waits up to five seconds for the program to end with the given exit code.
expect_end_by() {  # what-ended-it expected-code stderr-file
  for _ in $(seq 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
  if kill -0 $pid 2>/dev/null; then kill -KILL $pid; fail "$1 did not end the program"; fi
  wait $pid
  local rc=$?
  [ $rc -eq "$2" ] || { cat "$3" >&2; fail "exit code $rc after $1, expected $2"; }
}

# 4. SIGTERM and Ctrl-C end the show the orderly way: the timeline stops,
# the music is freed, and the exit code tells the signal.
cd "$show"
for sig in TERM INT; do
  start_show "$work/err4$sig.txt"
  sleep 1
  kill -$sig $pid
  expect_end_by "SIG$sig" $((128 + $(kill -l $sig))) "$work/err4$sig.txt"
  grep -q "stopped by signal $(kill -l $sig)" "$work/err4$sig.txt" || { cat "$work/err4$sig.txt" >&2; fail "SIG$sig: not stopped by the timeline"; }
  echo "e2e: SIG$sig ended the show with exit code $((128 + $(kill -l $sig)))"
done

# 5. A box that waits for its answer ("Can't initialize sound device!"): a
# signal ends the program and the box's own processes with it.
procs() {  # "pid parent group" of every process, from /proc
  local f s
  for f in /proc/[0-9]*/stat; do
    s=$(cat "$f" 2>/dev/null) || continue
    s=${s##*) }
    set -- $s
    echo "${f//[!0-9]/} $2 $3"
  done
}
SDL_AUDIODRIVER=no_such_driver "$bin" --windowed >/dev/null 2>"$work/err5.txt" &
pid=$!
box=""
for _ in $(seq 100); do
  box=$(procs | awk -v p=$pid '$2 == p { print $1; exit }')
  [ -n "$box" ] && break
  kill -0 $pid 2>/dev/null || break
  sleep 0.1
done
[ -n "$box" ] || { cat "$work/err5.txt" >&2; fail "no box was shown"; }
sleep 1
kill -0 $pid 2>/dev/null || { cat "$work/err5.txt" >&2; fail "the box did not wait for its answer"; }
kill -TERM $pid
expect_end_by "SIGTERM during a box" 143 "$work/err5.txt"
in_box_group() { procs | awk -v g="$box" '$3 == g { found = 1 } END { exit !found }'; }
for _ in $(seq 20); do in_box_group || break; sleep 0.1; done
in_box_group && { kill -KILL -- -"$box"; fail "the box outlived the program"; }
echo "e2e: SIGTERM ended a waiting box and its processes with exit code 143"
