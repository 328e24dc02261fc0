#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The command line's speed as a user meets it, each case a whole process under hyperfine
# (apt-get install hyperfine): start-up, the estimate at 99 wards, the estimate --json at
# 10,000 + 10,000 wards, the overdispersion checks at 99 and 10,000 + 10,000 wards, and the
# peak memory of the estimate at 300,000 wards (150,000 surveyed) with --residuals.
# Usage: bench/batch_speed.sh [BUILD]   (default build)
set -eu
build=${1:-build}
batch=$(cd "$build/bin" && pwd)/valdmora-batch
golden=$(cd "$(dirname "$0")/../tests/golden" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$golden/wards99.txt" .
# the data of bench/versus_glmmtmb.sh: every other ward surveyed, three predictors,
# negative binomial counts with VoM - 1 = 1
python3 - <<'PY'
import math, random
for wards, name in ((20000, "w10k.txt"), (300000, "w150k.txt")):
    random.seed(7)
    lines = ["a,b,c"]
    for i in range(wards):
        x = [random.randint(100, 1100) for _ in range(3)]
        m = 2 + 0.01 * x[0] + 0.02 * x[1] + 0.015 * x[2]
        if i % 2 == 0:
            lam = random.gammavariate(m, 1.0)
            y = max(0, int(round(random.gauss(lam, math.sqrt(lam)))))
            lines.append("W%d,%d,%d,%d,%d" % (i, x[0], x[1], x[2], y))
        else:
            lines.append("W%d,%d,%d,%d" % (i, x[0], x[1], x[2]))
    open(name, "w").write("\n".join(lines) + "\n")
PY
hf="hyperfine -N --warmup 3 --style basic"
$hf --runs 200 "/bin/true" "$batch --help"
$hf --runs 100 "$batch estimate wards99.txt --free 0,1,2,3,4" \
    "$batch estimate wards99.txt --dist negbin --free 0,1,2,3,4 --json"
$hf --runs 20 "$batch estimate w10k.txt --dist negbin --free 0,1,2,3 --json"
$hf --runs 20 "$batch estimate wards99.txt --dist negbin --free 0,1,2,3,4 --json --checks" \
    "$batch estimate w10k.txt --dist negbin --free 0,1,2,3 --json --checks"
size=$(wc -c < w150k.txt)
/usr/bin/time -f "%M" -o rss.txt "$batch" estimate w150k.txt --dist negbin --free 0,1,2,3 --residuals res.csv >/dev/null
echo "estimate at 300,000 wards with --residuals: peak $(($(cat rss.txt) / 1024)) MiB;" \
     "bound 64 MiB + 8 x $((size / 1024)) KiB = $((64 + 8 * size / 1048576)) MiB"
