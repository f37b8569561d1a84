#!/usr/bin/env bash
# The archive packer: refuses names it cannot store, and what it packs the
# engine reads back.
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "datpack test: $*" >&2; exit 1; }
cd "$work"

printf 'AAAA' > Logo.PNG
printf 'BB' > font.fnt
printf 'C' > this-name-is-too-long.png
mkdir other && printf 'D' > other/logo.png

"$tool" pack ok.dat Logo.PNG font.fnt || fail "packing two files failed"
"$tool" verify ok.dat || fail "a fresh archive does not verify"
list=$("$tool" list ok.dat)
echo "$list" | grep -qE '^ +44 +4  logo\.png$' || fail "unexpected listing: $list"
echo "$list" | grep -qE '^ +48 +2  font\.fnt$' || fail "unexpected listing: $list"

"$tool" pack long.dat this-name-is-too-long.png 2>err.txt && fail "an over-long name was packed"
grep -q "must have 1 to 15 characters" err.txt || fail "no clear message for a long name: $(cat err.txt)"
"$tool" pack dup.dat Logo.PNG other/logo.png 2>err.txt && fail "a duplicate name was packed"
grep -q "already taken" err.txt || fail "no clear message for a duplicate: $(cat err.txt)"
[ -e long.dat ] || [ -e dup.dat ] && fail "a refused archive was written"

printf 'font.fnt\n' > files.txt
"$tool" pack listed.dat @files.txt && "$tool" verify listed.dat || fail "packing from a list failed"

# Corrupt copies: a count past the file, an entry pointing outside.
cp ok.dat bad1.dat && printf '\xff\x00\x00\x00' | dd of=bad1.dat conv=notrunc status=none
"$tool" verify bad1.dat 2>/dev/null && fail "an oversized count verified"
cp ok.dat bad2.dat && printf '\x00\x10\x00\x00' | dd of=bad2.dat bs=1 seek=4 conv=notrunc status=none
"$tool" verify bad2.dat 2>/dev/null && fail "an entry outside the file verified"
echo "datpack: all checks passed"
