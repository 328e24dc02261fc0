#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows window under Wine on Xvfb, driven with xdotool as a user would: read the
# example data named in the path box, tick the three predictors, choose the negative
# binomial and estimate; the files it writes must be the Linux engine's for the same
# model, byte for byte. Then again with German regional settings (Wine takes them from
# LC_ALL), which write user.txt's reals with a comma as the Linux engine does in that
# locale. A screenshot of each result is left in ARTIFACT_DIR.
#   window_e2e.sh VALDMORA.exe LINUX_BATCH EXAMPLE_DATA ARTIFACT_DIR    (exit 77: skipped)
set -u
program=$(realpath "$1") batch=$(realpath "$2") example=$(realpath "$3") artifacts=$4
for tool in xvfb-run xdotool import wine; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (the setup script installs it)"; exit 77; }
done
mkdir -p "$artifacts"; artifacts=$(realpath "$artifacts")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for run in C.UTF-8 de_DE.UTF-8; do
    mkdir -p "$work/$run/linux" "$work/$run/windows"
    cp "$example" "$work/$run/windows/counts.txt"
    cp "$example" "$work/$run/linux/counts.txt"
    (cd "$work/$run/linux" && LC_ALL=$run "$batch" estimate counts.txt --dist negbin --free 0,1,2,3 >/dev/null) ||
        { echo "FAIL: the Linux batch in $run"; exit 1; }
done

cat >"$work/drive.sh" <<'INNER'
set -u
program=$1 work=$2 artifacts=$3 run=$4
touch "$work/display-started"
fail() { echo "FAIL: $*"; import -window root "$artifacts/windows-e2e-failure.png" 2>/dev/null; exit 1; }
cd "$work/$run/windows"
LC_ALL=$run wine "$program" >"$work/program.log" 2>&1 &
wid=$(timeout 90 xdotool search --sync --name "valdmora V1.01" | head -1)
[ -n "$wid" ] || fail "the window did not open"
sleep 3
eval "$(xdotool getwindowgeometry --shell "$wid")"
menu=18   # the page below the menu bar, as Wine draws it
click() { xdotool mousemove $((X + $1)) $((Y + menu + $2)) click 1; sleep 0.5; }
click 472 20                                  # "read data from file": counts.txt
timeout 20 xdotool search --sync --name "valdmora V1.01 — counts.txt" >/dev/null || fail "the title does not name the file read"
click 815 35; click 815 58; click 815 82      # the three predictors
click 87 96                                   # negative binomial
click 472 20                                  # "estimate population size"
for _ in $(seq 1 300); do [ -s ward_predictions.txt ] && [ -s user.txt ] && break; sleep 0.1; done
[ -s ward_predictions.txt ] || fail "ward_predictions.txt was not written"
sleep 2
import -window root "$artifacts/windows-e2e-estimate-$run.png"
wineserver -k 2>/dev/null
INNER

export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build-windows/wine} WINEDEBUG=-all
for run in C.UTF-8 de_DE.UTF-8; do
    xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/drive.sh" "$program" "$work" "$artifacts" "$run"
    rc=$?
    wineserver -k 2>/dev/null
    if [ ! -e "$work/display-started" ]; then
        echo "SKIP: no X server could be started under xvfb-run"
        exit 77
    fi
    [ $rc -eq 0 ] || exit $rc
    for f in ward_predictions.txt user.txt; do
        cmp -s "$work/$run/linux/$f" "$work/$run/windows/$f" ||
            { echo "FAIL: in $run the window's $f differs from the Linux engine's"; exit 1; }
    done
done
echo "PASS: the Windows window read the example, estimated and wrote the Linux engine's files, in English and German settings; screenshots in $artifacts"
