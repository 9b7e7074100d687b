#!/usr/bin/env bash
# The source folders are layers, each including only its own headers and those of the
# layers below it: cli over motion over stream over files. Fails naming every include that
# points upward or sideways out of that order.
set -euo pipefail
root=$1
layers=(files stream motion cli)
rank() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}
bad=0
checked=0
for layer in "${layers[@]}"; do
  for source in "$root/$layer"/*.h "$root/$layer"/*.cpp; do
    [ -e "$source" ] || continue
    checked=$((checked + 1))
    while IFS= read -r included; do
      folder=${included%%/*}
      if [ "$folder" = "$included" ] || [ "$(rank "$folder")" -lt 0 ]; then
        echo "$source: includes \"$included\", which is in no layer"
        bad=1
      elif [ "$(rank "$folder")" -gt "$(rank "$layer")" ]; then
        echo "$source: includes \"$included\", a layer above $layer/"
        bad=1
      fi
    done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$source")
  done
done
[ "$checked" -gt 0 ] || { echo "no sources under $root/{${layers[*]}}"; exit 1; }
[ "$bad" -eq 0 ] && echo "$checked sources: every include points to its own layer or one below"
exit "$bad"
