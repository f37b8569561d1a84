#!/usr/bin/env bash
# The committed plugin reference is what plugdoc makes from the tables now.
#   plugdoc_check.sh PLUGDOC DOCFILE
set -u
tool=$1
doc=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" > "$work/stdout.md" || { echo "plugdoc failed" >&2; exit 1; }
"$tool" "$work/file.md" || { echo "plugdoc failed to write a file" >&2; exit 1; }
cmp -s "$work/stdout.md" "$work/file.md" || { echo "plugdoc writes a file unlike what it prints" >&2; exit 1; }
if ! diff -u "$doc" "$work/stdout.md"; then
  echo "$doc is out of date: run 'cmake --build build --target docs' and commit it" >&2
  exit 1
fi
echo "plugdoc: $doc is current"
