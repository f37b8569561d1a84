#!/usr/bin/env bash
# vtool png and vtool font: their reports, PGMs and exit codes on good,
# refused and missing files.  Arguments: the vtool binary and the PngSuite
# folder.
set -u
tool=$1
suite=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "vtool test: $*" >&2; exit 1; }

# A grey+alpha 16-bit Adam7 file: its luminance digest from the reference table.
expected=$(awk -F'\t' '$1 == "basi4a16.png" { print $3 }' "$suite/EXPECTED_RGBA8.tsv")
[ -n "$expected" ] || fail "no reference digest for basi4a16.png"
out=$("$tool" png "$suite/basi4a16.png" --pgm "$work/out.pgm") || fail "a valid file was refused: $out"
want="status 0 ok
width 32
height 32
channels 2
depth 16
interlace 1
luma-sha256 $expected"
[ "$out" = "$want" ] || fail "unexpected report:
$out"

# The PGM holds exactly the image the digest was taken of.
[ "$(head -c 13 "$work/out.pgm")" = "$(printf 'P5\n32 32\n255\n')" ] || fail "bad PGM header"
[ "$(stat -c %s "$work/out.pgm")" -eq $((13 + 32 * 32)) ] || fail "bad PGM size"
digest=$(tail -c $((32 * 32)) "$work/out.pgm" | sha256sum | cut -d' ' -f1)
[ "$digest" = "$expected" ] || fail "PGM pixels differ from the reported digest"

# Refused files: status line, exit 1, nothing more.
out=$("$tool" png "$suite/xd9n2c08.png"); rc=$?
[ $rc -eq 1 ] || fail "a file with depth 99 gave exit code $rc"
[ "$out" = "status -6 malformed file" ] || fail "unexpected report for a refused file: $out"
out=$("$tool" png "$suite/xdtn0g01.png"); rc=$?
[ $rc -eq 1 ] && [ "$out" = "status -9 IEND before any IDAT" ] || fail "missing IDAT: $rc, $out"

# Usage and file errors: exit 2 and a message.
"$tool" png "$work/none.png" 2>"$work/err"; rc=$?
[ $rc -eq 2 ] && grep -q "cannot open" "$work/err" || fail "a missing file gave exit $rc"
"$tool" 2>/dev/null; [ $? -eq 2 ] || fail "no command should be a usage error"
"$tool" jpeg x.jpg 2>"$work/err"; rc=$?
[ $rc -eq 2 ] && grep -q "unknown command" "$work/err" || fail "an unknown command gave exit $rc"
"$tool" png 2>/dev/null; [ $? -eq 2 ] || fail "png without a file should be a usage error"
# A font with one glyph, A (#. over ##), blank width 2 and height 2.
{ printf '\002\002'; head -c 65 /dev/zero; printf '\002\001\000\001\001'; head -c 190 /dev/zero; } > "$work/a.fnt"
out=$("$tool" font "$work/a.fnt" --text A_A --pgm "$work/a.pgm") || fail "a valid font was refused: $out"
want="status 0 ok
glyphs 1
height 2
blank 2
codes 65..65
narrowest 2
widest 2
widths 65:2
sample-width 9"
[ "$(echo "$out" | head -9)" = "$want" ] || fail "unexpected font report:
$out"
# A_A drawn with a margin of 2: the blank is the blank width plus one column.
row() { printf '\000\000'; printf "$1"; printf '\000\000'; }
{ printf 'P5\n12 6\n255\n'; head -c 24 /dev/zero
  row '\377\000\000\000\000\000\377\000'; row '\377\377\000\000\000\000\377\377'
  head -c 24 /dev/zero; } > "$work/want.pgm"
cmp -s "$work/a.pgm" "$work/want.pgm" || fail "the sample line is not drawn as Text draws it"
digest=$(tail -c 72 "$work/a.pgm" | sha256sum | cut -d' ' -f1)
echo "$out" | grep -qx "sample-sha256 $digest" || fail "the reported digest is not the PGM's"

# One byte short: refused as Text refuses it.
head -c $(( $(stat -c %s "$work/a.fnt") - 1 )) "$work/a.fnt" > "$work/cut.fnt"
out=$("$tool" font "$work/cut.fnt"); rc=$?
[ $rc -eq 1 ] && [ "$out" = "status 2 the entry ends before its last character record" ] || fail "cut font: $rc, $out"
"$tool" font "$work/none.fnt" 2>"$work/err"; rc=$?
[ $rc -eq 2 ] && grep -q "cannot open" "$work/err" || fail "a missing font gave exit $rc"
"$tool" font 2>/dev/null; [ $? -eq 2 ] || fail "font without a file should be a usage error"
echo "vtool: all checks passed"
