#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The scaling table: one whole click per size and distribution, each in its own process so
# that each peak memory is that case's own, then the table of models at two sizes.
# Usage: bench/scale.sh [BUILD]   (default build)
set -eu
bin="${1:-build}/bench/click_scale"
for n in 100 1000 10000 100000; do
  for dist in 1 2 3; do "$bin" "$dist" "$n"; done
done
for n in 99 10000; do "$bin" compare "$n"; done
