#!/usr/bin/env bash
# The folders of the engine stand in floors, and a file includes headers of
# its own folder and of the floors below it only:
#   runtime/ > registry/ > effects/, scene3d/ > plugins/ > script/ > assets/ > codecs/
# effects/ and scene3d/ share a floor and know nothing of each other.
#   layers_check.sh SOURCE_DIR
set -u
root=$1
declare -A floor=([codecs]=0 [assets]=1 [script]=2 [plugins]=3 [effects]=4 [scene3d]=4 [registry]=5 [runtime]=6)
bad=0
checked=0
for dir in "${!floor[@]}"; do
  for file in "$root/$dir"/*.cpp "$root/$dir"/*.h; do
    [ -e "$file" ] || continue
    checked=$((checked + 1))
    while IFS= read -r line; do
      target=${line#*\"}
      target=${target%%/*}
      [ "$target" = "$dir" ] && continue
      if [ -z "${floor[$target]+set}" ] || [ "${floor[$target]}" -ge "${floor[$dir]}" ]; then
        echo "${file#$root/}: includes $target/ (${line#\#include })" >&2
        bad=$((bad + 1))
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"/]+/' "$file")
  done
done
if [ "$checked" -eq 0 ]; then
  echo "no sources under $root" >&2
  exit 1
fi
if [ "$bad" -ne 0 ]; then
  echo "$bad includes reach up or sideways" >&2
  exit 1
fi
echo "layers: $checked files include downward only"
