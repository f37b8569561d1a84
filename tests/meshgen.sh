#!/usr/bin/env bash
# The mesh maker: subdivision counts it cannot build are refused with the
# usage text and no file; counts it can build change the mesh.
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "meshgen test: $*" >&2; exit 1; }
cd "$work"

for args in "knot bad.msh 0" "torus bad.msh 2 10" "sphere bad.msh 16 x" "knot bad.msh 40 8 8" "torus bad.msh 1001 3"; do
  "$tool" $args 2>err.txt
  rc=$?
  [ "$rc" = 2 ] || fail "'$args' exited $rc, not 2"
  grep -q '^usage: meshgen' err.txt || fail "'$args' printed no usage"
  [ ! -e bad.msh ] || fail "'$args' wrote a file"
done

"$tool" knot default.msh || fail "the default knot failed"
"$tool" knot coarse.msh 120 8 || fail "a knot of 120 x 8 failed"
"$tool" sphere ball.msh 24 12 || fail "a sphere of 24 x 12 failed"
[ -s coarse.msh ] && [ -s ball.msh ] || fail "no mesh written"
[ "$(stat -c %s coarse.msh)" -lt "$(stat -c %s default.msh)" ] || fail "120 x 8 is not smaller than the default knot"
exit 0
