#!/bin/bash
# The built program in a real window under Xvfb, driven with xdotool as a user would:
# read the example data, tick three predictors, choose the negative binomial, estimate;
# then empty the data path and run three simulate-and-estimate clicks.
# Usage: window_e2e.sh PROGRAM EXAMPLE_DATA ARTIFACT_DIR. Exit 77: skipped.
set -u
program=$1 example=$2 artifacts=$3
for tool in xvfb-run xdotool import; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (the setup script installs it)"; exit 77; }
done
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$example" "$work/counts.txt"

cat >"$work/drive.sh" <<'INNER'
set -u
program=$1 work=$2 artifacts=$3
touch "$work/display-started"
fail() { echo "FAIL: $*"; import -window root "$artifacts/e2e-failure.png" 2>/dev/null; exit 1; }
cd "$work"
"$program" >"$work/program.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
wid=$(timeout 30 xdotool search --sync --name "valdmora V1.01" | head -1)
[ -n "$wid" ] || fail "the window did not open"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$wid")"
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.3; }
# wait for a file the click writes; the click removed the old one first
await() { for _ in $(seq 1 300); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$1 was not written"; }

click 472 20                      # "read data from file"
click 816 40; click 816 64; click 816 89   # tick the three predictors
click 87 96                       # negative binomial
rm -f ward_predictions.txt user.txt
click 472 20                      # "estimate population size"
await ward_predictions.txt
sleep 0.5
import -window root "$artifacts/e2e-estimate.png"
lines=$(wc -l < ward_predictions.txt)
[ "$lines" -eq 48 ] || fail "ward_predictions.txt has $lines lines, not 48"
bad=$(grep -c -v -E $'^[A-Za-z]+, [0-9]*,\\([0-9]*,[0-9]*\\)\r$' ward_predictions.txt)
[ "$bad" -eq 0 ] || fail "$bad lines of ward_predictions.txt are not in the layout"
[ "$(head -1 user.txt)" = $' 145 \r' ] || fail "user.txt does not start with the count of 145 entries"
kill -0 $pid || fail "the program ended"

click 200 16; xdotool key ctrl+a Delete; sleep 0.3   # empty the data path
for i in 1 2 3; do
    rm -f ward_predictions.txt
    click 472 20                  # "simulate data and estimate"
    await ward_predictions.txt
done
sleep 0.5
import -window root "$artifacts/e2e-simulation.png"
kill -0 $pid || fail "the program ended"
echo "PASS: estimate and three simulations in a real window; screenshots in $artifacts"
INNER

xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/drive.sh" "$program" "$work" "$artifacts"
rc=$?
if [ ! -e "$work/display-started" ]; then
    echo "SKIP: no X server could be started under xvfb-run"
    exit 77
fi
exit $rc
