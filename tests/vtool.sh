#!/usr/bin/env bash
# vtool png: its report, its PGM and its exit codes on good, refused and
# missing files.  Arguments: the vtool binary and the PngSuite folder.
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
echo "vtool: all checks passed"
