#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the icon's PNG sizes from valdmora.svg; run after changing the drawing and commit
# the PNGs with it (rsvg-convert is in librsvg2-bin, which scripts/setup-deps.sh installs).
set -eu
cd "$(dirname "$0")"
for size in 48 128 256; do
    rsvg-convert -w "$size" -h "$size" valdmora.svg -o "valdmora-$size.png"
done
