#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The whole estimating click at 99 surveyed wards (tests/golden/wards99.txt, four
# predictors, all free) as a process: valdmora-batch estimate, started N times per
# distribution, wall-clock milliseconds per process; then the same under callgrind, whose
# instruction counts repeat exactly whatever else the machine is doing.
# Usage: bench/process_click.sh [BUILD] [N]   (default build, 200)
set -eu
batch=$(cd "${1:-build}/bin" && pwd)/valdmora-batch
n=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$(dirname "$0")/../tests/golden/wards99.txt" "$work/"
cd "$work"
for dist in lognormal normal negbin; do
  start=$(date +%s%N)
  i=0
  while [ $i -lt "$n" ]; do
    "$batch" estimate wards99.txt --dist "$dist" --free 0,1,2,3,4 >/dev/null
    i=$((i + 1))
  done
  end=$(date +%s%N)
  echo "$dist: $(( (end - start) / n / 1000 )) us per process"
done
if command -v valgrind >/dev/null; then
  for dist in lognormal normal negbin; do
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$batch" estimate wards99.txt --dist "$dist" \
      --free 0,1,2,3,4 2>&1 >/dev/null | sed -n "s/.*refs: *\(.*\)/$dist: \1 instructions/p"
  done
fi
