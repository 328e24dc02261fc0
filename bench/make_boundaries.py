#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# A large town for the boundaries benchmark: an N x N grid of wards whose shared edges wind
# through K points each (the same points on both sides), as GeoJSON, and a count data file
# of the same wards, every other one surveyed.
# Usage: bench/make_boundaries.py N K OUT_GEOJSON OUT_COUNTS
import math
import random
import sys

n, k, geo_path, counts_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
rng = random.Random(30)
lon0, lat0, step = 10.0, 45.0, 0.004


def corner(i, j):
    return (lon0 + i * step, lat0 + j * step)


def edge(a, b, seed):
    # K points between two corners, wiggling across the line
    (x1, y1), (x2, y2) = a, b
    pts = []
    for t in range(1, k + 1):
        f = t / (k + 1)
        w = 0.0002 * math.sin(seed + 7 * f)
        pts.append((x1 + (x2 - x1) * f + w * (y2 - y1) / step, y1 + (y2 - y1) * f - w * (x2 - x1) / step))
    return pts


horizontal = {}  # from corner (i, j) to (i + 1, j)
vertical = {}    # from corner (i, j) to (i, j + 1)
for i in range(n + 1):
    for j in range(n + 1):
        if i < n:
            horizontal[i, j] = edge(corner(i, j), corner(i + 1, j), i * 31 + j)
        if j < n:
            vertical[i, j] = edge(corner(i, j), corner(i, j + 1), i * 17 + j * 3)

with open(geo_path, "w") as out:
    out.write('{"type":"FeatureCollection","features":[\n')
    for j in range(n):
        for i in range(n):
            ring = [corner(i, j)] + horizontal[i, j] + [corner(i + 1, j)] + vertical[i + 1, j] + \
                   [corner(i + 1, j + 1)] + horizontal[i, j + 1][::-1] + [corner(i, j + 1)] + \
                   vertical[i, j][::-1] + [corner(i, j)]
            coords = ",".join("[%.7f,%.7f]" % p for p in ring)
            sep = ",\n" if i + j * n < n * n - 1 else "\n"
            out.write('{"type":"Feature","properties":{"name":"W%05d"},"geometry":{"type":"Polygon",'
                      '"coordinates":[[%s]]}}%s' % (j * n + i + 1, coords, sep))
    out.write("]}\n")

with open(counts_path, "w") as out:
    out.write("households\n")
    for w in range(1, n * n + 1):
        h = rng.randint(200, 1200)
        if w % 2:
            lam = h / 25.0
            out.write("W%05d,%d,%d\n" % (w, h, max(1, round(rng.gauss(lam, math.sqrt(lam))))))
        else:
            out.write("W%05d,%d\n" % (w, h))
