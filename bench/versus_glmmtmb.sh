#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# One whole estimate of the negative binomial at 10,000 surveyed + 10,000 unsurveyed wards,
# as a process, against one glmmTMB fit of the same model (nbinom1, identity link) on the
# same data. Needs python3 and R with glmmTMB (not needed by the tests).
# Usage: bench/versus_glmmtmb.sh [BUILD]   (default build)
set -eu
build=${1:-build}
batch=$(cd "$build/bin" && pwd)/valdmora-batch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
python3 - <<'PY'
import math, random
random.seed(7)
lines = ["a,b,c"]
for i in range(20000):
    x = [random.randint(100, 1100) for _ in range(3)]
    m = 2 + 0.01 * x[0] + 0.02 * x[1] + 0.015 * x[2]
    if i % 2 == 0:
        lam = random.gammavariate(m, 1.0)  # VoM - 1 = 1: gamma-Poisson
        y = max(0, int(round(random.gauss(lam, math.sqrt(lam)))))  # means of 30..70: near-normal Poisson
        lines.append("W%d,%d,%d,%d,%d" % (i, x[0], x[1], x[2], y))
    else:
        lines.append("W%d,%d,%d,%d" % (i, x[0], x[1], x[2]))
open("w10k.txt", "w").write("\n".join(lines) + "\n")
PY
cat > nb.R <<'R'
suppressMessages(library(glmmTMB))
d <- read.csv("w10k.txt", header = FALSE, skip = 1, col.names = c("name", "a", "b", "c", "y"), fill = TRUE)
s <- d[!is.na(d$y), ]
t <- system.time(for (k in 1:5) f <- glmmTMB(y ~ a + b + c, family = nbinom1(link = "identity"), data = s,
                                             start = list(beta = c(10, 0, 0, 0))))
cat(sprintf("glmmTMB, one fit: %.0f ms (CPU %.0f ms)\n", t[["elapsed"]] / 5 * 1000, (t[["user.self"]] + t[["sys.self"]]) / 5 * 1000))
R
Rscript nb.R 2>/dev/null
for k in 1 2 3 4 5; do
  /usr/bin/time -f "valdmora-batch estimate --json (fit, covariance, predictions, profile and its limits, files): %e s, CPU %U+%S s" \
    "$batch" estimate w10k.txt --dist negbin --free 0,1,2,3 --json >/dev/null
done
