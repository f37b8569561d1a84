#!/usr/bin/env bash
# --bench: the whole show rendered offline, a row of frame times per scene
# and the show's rate; --fps, --start-order, --duration and --passes apply,
# and nothing is written.  The times themselves are not judged here.
set -u
bin=$1
show=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "bench test: $*" >&2; exit 1; }
cp "$show/velmorin.dat" "$show/velmorin.plg" "$show/velmorin.xm" "$work/"
cd "$work"
unset DISPLAY

# A row: name, frames, then mean <= p99 <= worst, all numbers.
check_rows() {  # $1: output file; prints "name frames" per row
  awk -v f="$1" '
    /^scene / { next }
    /^show / { next }
    NF != 5 || $2 !~ /^[0-9]+$/ { print "bad row in " f ": " $0 > "/dev/stderr"; exit 1 }
    !($3 + 0 <= $4 + 0 && $4 + 0 <= $5 + 0) { print "unordered row in " f ": " $0 > "/dev/stderr"; exit 1 }
    { print $1, $2 }' "$1"
}

# The whole show at 4 frames a second: every scene once, in show order.
"$bin" --bench --fps 4 >out1 2>err1 || fail "exit code $?: $(cat err1)"
rows=$(check_rows out1) || fail "$(cat out1)"
names=$(echo "$rows" | awk '{ printf "%s ", $1 }')
[ "$names" = "tolvek.plg intro.plg komin3d.plg schody.plg valec3d.plg hodiny.plg zena.plg end.plg " ] ||
  fail "scenes '$names' in $(cat out1)"
sum=$(echo "$rows" | awk '{ s += $2 } END { print s }')
grep -Eq "^show +$sum frames: [0-9]+ fps drawing, [0-9]+ fps in all$" out1 || fail "show line: $(cat out1)"
# About four minutes: the title's fourteen seconds and the music to the end.
[ "$sum" -gt 900 ] && [ "$sum" -lt 1100 ] || fail "$sum frames at 4 fps"

# One pass draws the frames each of the three passes drew: every pass starts
# the show afresh.
"$bin" --bench --fps 4 --passes 1 >out3 2>err3 || fail "one pass: $(cat err3)"
[ "$(check_rows out3)" = "$rows" ] || fail "one pass: $(cat out3) against $(cat out1)"
grep -q "drew" err1 && fail "passes differ: $(cat err1)"
grep -q "pass 3/3" err1 || fail "no pass count in the progress: $(cat err1)"

# From order 14 (valec3d) for three seconds at 10 fps: one row of 30 frames.
"$bin" --bench --start-order 14 --duration 3 --fps 10 --layout window >out2 2>err2 || fail "part: $(cat err2)"
rows=$(check_rows out2) || fail "$(cat out2)"
[ "$rows" = "valec3d.plg 30" ] || fail "part: $(cat out2)"

[ "$(ls | sort | tr '\n' ' ')" = "err1 err2 err3 out1 out2 out3 velmorin.dat velmorin.plg velmorin.xm " ] ||
  fail "files written: $(ls)"
"$bin" --bench --frames x >/dev/null 2>err4 && fail "--bench with --frames accepted"
grep -q "excludes --capture and --frames" err4 || fail "--bench --frames: $(cat err4)"
"$bin" --bench --passes 0 >/dev/null 2>err4 && fail "--passes 0 accepted"
grep -q "from 1 to 100, not '0'" err4 || fail "--passes 0: $(cat err4)"
"$bin" --frames x --passes 2 >/dev/null 2>err4 && fail "--passes without --bench accepted"
grep -q "applies to --bench only" err4 || fail "--passes alone: $(cat err4)"

# SIGTERM to the program alone, during a pass: the pass it runs stops the
# usual way, no table is printed and no pass is left running.
"$bin" --bench --passes 5 >out5 2>err5 &
pid=$!
child=
for _ in $(seq 100); do
  child=$(pgrep -P $pid) && break
  sleep 0.1
done
[ -n "$child" ] || fail "no pass running: $(cat err5)"
sleep 0.5
kill -TERM $pid
wait $pid
rc=$?
[ $rc = 143 ] || fail "SIGTERM: exit code $rc: $(cat err5)"
[ ! -s out5 ] || fail "a table after SIGTERM: $(cat out5)"
grep -Eq "interrupted after [0-9]+ frames" err5 || fail "SIGTERM not passed on: $(cat err5)"
kill -0 "$child" 2>/dev/null && fail "pass $child still running"
echo "bench: a row per scene, the show's rate, options applied, passes alike, nothing written"
