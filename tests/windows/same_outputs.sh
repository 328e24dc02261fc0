#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows batch under Wine and the Linux batch on the same data with the same options
# must write the same ward_predictions.txt and user.txt and print the same result lines,
# byte for byte, and the same JSON numbers to within 1e-7 of their size: the two C
# libraries' log and exp may differ in the last bit, which moves where the minimizer stops
# within its tolerance, and the full-precision numbers with it.
#   same_outputs.sh LINUX_BATCH WINDOWS_BATCH.exe DATA_FILE
set -eu
linux=$(realpath "$1"); windows=$(realpath "$2"); data=$(realpath "$3")
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$data" "$work/counts.txt"
status=0
compare() {  # name, then the batch's arguments
    local name=$1; shift
    mkdir -p "$work/$name/linux" "$work/$name/windows"
    (cd "$work/$name/linux" && "$linux" "$@" --out . > out.txt 2>&1 && "$linux" "$@" --out . --json > out.json 2>/dev/null)
    (cd "$work/$name/windows" && export VALDMORA_WINDOWS_BIN=$(dirname "$windows") &&
        sh "$here/scripts/wine-run.sh" "$windows" "$@" --out . > out.txt 2>&1 &&
        sh "$here/scripts/wine-run.sh" "$windows" "$@" --out . --json > out.json 2>/dev/null)
    for f in ward_predictions.txt user.txt out.txt; do
        if ! cmp -s "$work/$name/linux/$f" "$work/$name/windows/$f"; then
            echo "windows: $name: $f differs from the Linux build's:"; diff "$work/$name/linux/$f" "$work/$name/windows/$f" | head -5
            status=1
        fi
    done
    if ! python3 - "$work/$name/linux/out.json" "$work/$name/windows/out.json" <<'PY'
import json, sys
a, b = (json.load(open(p, newline='')) for p in sys.argv[1:3])
def walk(x, y, where):
    if isinstance(x, dict) and isinstance(y, dict):
        if x.keys() != y.keys(): print(where, "keys differ"); return False
        return all([walk(x[k], y[k], where + "." + k) for k in x])
    if isinstance(x, list) and isinstance(y, list):
        return len(x) == len(y) and all([walk(p, q, where + "[%d]" % i) for i, (p, q) in enumerate(zip(x, y))])
    if where.startswith("json.evaluations"): return True  # how much work, not a result
    if where.startswith("json.covariance["):
        # an entry near zero beside large variances: measured on the scale of its variances
        i, j = (int(k) for k in where[len("json.covariance["):-1].split("]["))
        scale = (abs(a["covariance"][i][i] * a["covariance"][j][j])) ** 0.5
        if abs(x - y) > 1e-7 * scale + 1e-12: print(where, x, "!=", y); return False
        return True
    if isinstance(x, (int, float)) and not isinstance(x, bool):
        if type(x) != type(y) or abs(x - y) > 1e-7 * max(abs(x), abs(y)) + 1e-12:
            print(where, x, "!=", y); return False
        return True
    if x != y: print(where, repr(x), "!=", repr(y)); return False
    return True
sys.exit(0 if walk(a, b, "json") else 1)
PY
    then echo "windows: $name: the JSON numbers differ"; status=1; fi
    if [ $status -eq 0 ]; then echo "windows: $name: the same files and numbers as on Linux"; fi
}
compare lognormal estimate ../../counts.txt
compare negbin estimate ../../counts.txt --dist negbin --free 0,households,markets
compare normal-ward estimate ../../counts.txt --dist normal --free 0,road_m --ward Stonefield
compare bootstrap estimate ../../counts.txt --free 0,households --bootstrap 200 --seed 5
exit $status
