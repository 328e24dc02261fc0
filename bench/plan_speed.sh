#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# A survey plan at the size a town team meets: 1,000 wards (a pilot of 40 surveyed), two
# predictors, negative binomial counts; 6 candidate numbers of wards x 200 simulated
# surveys, each with its profile limits, under each design; wall time and peak memory.
# Usage: bench/plan_speed.sh [BUILD]   (default build)
set -eu
build=${1:-build}
batch=$(cd "$build/bin" && pwd)/valdmora-batch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 - <<'PY'
import math, random
random.seed(28)
lines = ["households,road_km"]
for i in range(1000):
    x = [random.randint(100, 1100), random.randint(1, 40)]
    m = 5 + 0.03 * x[0] + 0.5 * x[1]
    if i < 40:
        # VoM - 1 = 2: a gamma mixture of Poisson counts, the count by the product of uniforms
        lam = random.gammavariate(m / 2.0, 2.0)
        y, p, limit = 0, random.random(), math.exp(-lam)
        while p > limit:
            p *= random.random()
            y += 1
        lines.append("W%04d,%d,%d,%d" % (i, x[0], x[1], y))
    else:
        lines.append("W%04d,%d,%d" % (i, x[0], x[1]))
open("town1000.txt", "w").write("\n".join(lines) + "\n")
PY
for design in random stratified:households balanced; do
    echo "design $design"
    /usr/bin/time -f "%e s %M KB" "$batch" plan town1000.txt --dist negbin --free 0,1,2 \
        --surveys 20,40,60,80,100,120 --reps 200 --seed 1 --design "$design" --target 0.10
done
