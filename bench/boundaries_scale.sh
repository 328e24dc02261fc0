#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The ward boundaries at scale: a 50 MB GeoJSON town of 10,000 wards (210 positions a ring),
# read, matched, tested for clustering and drawn, each run a process of its own so that each
# peak memory is its own.
# Usage: bench/boundaries_scale.sh [BUILD]   (default build; needs python3 and GNU time)
set -eu
batch="${1:-build}/bin/valdmora-batch"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 "$(dirname "$0")/make_boundaries.py" 100 52 "$dir/town.geojson" "$dir/town.txt"
ls -l "$dir/town.geojson"
model="--dist negbin --free 0,households"
for run in 1 2 3; do
  /usr/bin/time -f "estimate: %e s, %M KB" "$batch" estimate "$dir/town.txt" $model --out "$dir" >/dev/null 2>"$dir/err" || true
  tail -1 "$dir/err"
  /usr/bin/time -f "estimate --boundaries: %e s, %M KB" "$batch" estimate "$dir/town.txt" $model --out "$dir" \
    --boundaries "$dir/town.geojson" --json >/dev/null 2>"$dir/err" || true
  tail -1 "$dir/err"
done
/usr/bin/time -f "map --svg: %e s, %M KB" "$batch" map "$dir/town.txt" $model --boundaries "$dir/town.geojson" \
  --svg "$dir/map.svg" >/dev/null 2>"$dir/err" || true
tail -1 "$dir/err"
/usr/bin/time -f "map --png: %e s, %M KB" "$batch" map "$dir/town.txt" $model --boundaries "$dir/town.geojson" \
  --png "$dir/map.png" >/dev/null 2>"$dir/err" || true
tail -1 "$dir/err"
