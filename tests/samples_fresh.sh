#!/usr/bin/env bash
# The committed samples are exactly what data/make_samples.sh makes with the built generator.
#
#   tests/samples_fresh.sh MAKE_BVH DATA_FOLDER
set -euo pipefail
make_bvh=$1
data=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
bash "$data/make_samples.sh" "$make_bvh" "$scratch"
status=0
for made in "$scratch"/*.bvh; do
  name=$(basename "$made")
  if ! cmp -s "$made" "$data/$name"; then
    echo "data/$name differs from what data/make_samples.sh makes; rerun it and commit the result"
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "$(ls "$scratch" | wc -l) samples up to date"
exit "$status"
