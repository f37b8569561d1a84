#!/usr/bin/env bash
# --check: builds every scene without a display or sound; a typo is a warning
# with its line, a broken script an error with its line and exit code 1.
# Also: --capture tells what to install when ffmpeg is missing.  A missing
# clip's message brings its own "!".
set -u
bin=$1
show=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check test: $*" >&2; exit 1; }
cp "$show/velmorin.dat" "$work/"
cd "$work"
unset DISPLAY

sections="tolvek.plg intro.plg komin3d.plg schody.plg valec3d.plg hodiny.plg zena.plg end.plg"
write_script() {  # the line for the schody section, as $1
  { printf 'common.plg\noutput: screen in=w;\nw = window x=o;\no = oscilator freq=0.5;\n}\n'
    for s in $sections; do
      if [ "$s" = schody.plg ]; then printf '%s\n%s\n}\n' "$s" "$1"; else printf '%s\n<common.plg>\n}\n' "$s"; fi
    done; } > velmorin.plg
}

# The default show checks clean.
(cd "$show" && "$bin" --check >"$work/out0" 2>"$work/err0") || fail "the default show does not check: $(cat "$work/err0")"
[ "$(cat "$work/out0")" = ok ] || fail "default show: stdout '$(cat "$work/out0")'"
[ ! -s "$work/err0" ] || fail "default show: warnings $(cat "$work/err0")"

# A typo: a warning with file and line, and the check still passes.
write_script $'output: screen in=w;\nw = window x=o;\no = oscilator frq=2;'
"$bin" --check >out1 2>err1 || fail "a typo stopped the check: $(cat err1)"
[ "$(cat out1)" = ok ] || fail "typo: stdout '$(cat out1)'"
grep -qx "velmorin.plg:18: warning: oscilator has no parameter 'frq'" err1 || fail "typo: stderr '$(cat err1)'"

# A broken script: the error on stdout, where it happened on stderr, exit 1.
write_script $'output: screen in=w;\nw = window x=nowhere;'
"$bin" --check >out2 2>err2
rc=$?
[ $rc -eq 1 ] || fail "broken script: exit code $rc, expected 1"
[ "$(cat out2)" = "-> Error: plg_Get(): label 'nowhere' doesn't exists !" ] || fail "broken: stdout '$(cat out2)'"
grep -qx "velmorin.plg:17: w = window x=nowhere;" err2 || fail "broken: stderr '$(cat err2)'"
write_script $'output: screen in=v;\nv = mpeg in=nope.m2v;'
"$bin" --check >out4 2>err4
rc=$?
[ $rc -eq 1 ] || fail "missing clip: exit code $rc, expected 1"
[ "$(cat out4)" = "-> Error: video nope.m2v not found ! !" ] || fail "missing clip: stdout '$(cat out4)'"
# Capturing a video without ffmpeg on PATH: a clear word and the start-up
# failure's exit code 3.
cp "$show/velmorin.plg" "$show/velmorin.xm" .
PATH=/nonexistent "$bin" --capture out.mp4 >out3 2>err3
rc=$?
[ $rc -eq 3 ] || fail "capture without ffmpeg: exit code $rc, expected 3"
grep -q "apt-get install ffmpeg" err3 && grep -q -- "--frames" err3 || fail "capture without ffmpeg: '$(cat err3)'"
echo "check: ok, typo warning, broken script, missing clip and missing ffmpeg all as expected"
