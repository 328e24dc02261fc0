#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The built program in a real window under Xvfb, driven with xdotool as a user would:
# open the example data through the File menu's dialog, tick three predictors, choose the
# negative binomial, estimate, save the ward predictions as CSV through the menu, export the
# report and read it back, enlarge the window, open a help page; then empty the data path
# and run three simulate-and-estimate clicks.
# Usage: window_e2e.sh PROGRAM EXAMPLE_DATA ARTIFACT_DIR. Exit 77: skipped.
set -u
program=$1 example=$2 artifacts=$3
for tool in xvfb-run xdotool import convert pdftotext; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (the setup script installs it)"; exit 77; }
done
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$example" "$work/example.txt"

cat >"$work/drive.sh" <<'INNER'
set -u
program=$1 work=$2 artifacts=$3
touch "$work/display-started"
fail() { echo "FAIL: $*"; import -window root "$artifacts/e2e-failure.png" 2>/dev/null; exit 1; }
cd "$work"
export XDG_CONFIG_HOME="$work/config"   # recent files of its own
"$program" >"$work/program.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null' EXIT
wid=$(timeout 30 xdotool search --sync --name "valdmora V1.01" | head -1)
[ -n "$wid" ] || fail "the window did not open"
sleep 1
eval "$(xdotool getwindowgeometry --shell "$wid")"
# the controls' places in the page, and the page's place below the menu bar
menu=18
click() { xdotool mousemove $((X + $1)) $((Y + menu + $2)) click 1; sleep 0.3; }
await() { for _ in $(seq 1 300); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$1 was not written"; }
dialog() {  # waits for a window named $1 and types a path into its file name box
    local d
    d=$(timeout 40 xdotool search --sync --name "$1" | head -1) || fail "no '$1' dialog"
    # a slow (sanitizer) build gives its name box the focus late: keys typed before then are
    # lost, so wait, then replace whatever the box holds
    sleep 2
    xdotool windowfocus --sync "$d"; xdotool key ctrl+a BackSpace
    xdotool type --delay 20 "$2"; xdotool key Return; sleep 1
}

# File > Open data file… with its dialog
xdotool windowfocus --sync "$wid"; xdotool key ctrl+o
dialog "Open data file" "$work/example.txt"
timeout 30 xdotool search --sync --name "valdmora V1.01 — example.txt" >/dev/null || fail "the title does not name the file read"
click 815 35; click 815 58; click 815 82      # tick the three predictors
click 87 96                                   # negative binomial
rm -f ward_predictions.txt user.txt
click 472 20                                  # "estimate population size"
await ward_predictions.txt
sleep 0.5
import -window root "$artifacts/e2e-estimate.png"
lines=$(wc -l < ward_predictions.txt)
[ "$lines" -eq 48 ] || fail "ward_predictions.txt has $lines lines, not 48"
bad=$(grep -c -v -E $'^[A-Za-z]+, [0-9]*,\\([0-9]*,[0-9]*\\)\r$' ward_predictions.txt)
[ "$bad" -eq 0 ] || fail "$bad lines of ward_predictions.txt are not in the layout"
[ "$(head -1 user.txt)" = $' 145 \r' ] || fail "user.txt does not start with the count of 145 entries"

# File > Save ward predictions as CSV… with its dialog
xdotool windowfocus --sync "$wid"; xdotool key alt+f; sleep 0.5
import -window root "$artifacts/e2e-menu.png"
xdotool key c
dialog "Save ward predictions as CSV" "$work/predictions.csv"
await predictions.csv
[ "$(head -1 predictions.csv)" = "ward,predicted_dogs,prediction_lower_95,prediction_upper_95" ] || fail "the CSV has no header"
[ "$(wc -l < predictions.csv)" -eq 49 ] || fail "the CSV does not hold 48 wards"

# File > Export report… with its dialog, read back as a reader's viewer would
xdotool windowfocus --sync "$wid"; xdotool key alt+f; sleep 0.5; xdotool key e
dialog "Export report" "$work/report.pdf"
await report.pdf
pdftotext -layout report.pdf report.txt || fail "the report is not a PDF that pdftotext reads"
for expected in "valdmora report" "File: example.txt" "Model: negative binomial; constant, households, road_m, markets" \
                "the dogs present (prediction)" "their expected number (confidence)" "Table of models"; do
    grep -qF "$expected" report.txt || fail "the report does not say '$expected'"
done

# the window made smaller, then larger: the charts take the height it gains
xdotool windowsize --sync "$wid" 1000 600; sleep 1
xdotool windowsize --sync "$wid" 1280 800; sleep 1
eval "$(xdotool getwindowgeometry --shell "$wid")"
import -window root "$artifacts/e2e-enlarged.png"
# below the likelihood chart's designed bottom (713 pixels down the page): the chart, white
pixel=$(convert "$artifacts/e2e-enlarged.png" -format '%[pixel:p{'$((X + 30))','$((Y + menu + 728))'}]' info:)
case "$pixel" in white|"srgb(255,255,255)"|"rgb(255,255,255)") ;; *) fail "the likelihood chart did not take the height the window gained (pixel $pixel)";; esac

# Help > The count data file
xdotool windowfocus --sync "$wid"; xdotool key alt+h; sleep 0.3; xdotool key f; sleep 1
help=$(timeout 10 xdotool search --sync --name "valdmora help" | head -1) || fail "no help page"
import -window root "$artifacts/e2e-help.png"
xdotool windowclose "$help" 2>/dev/null || xdotool key Escape
kill -0 $pid || fail "the program ended"

xdotool windowfocus --sync "$wid"
click 200 16; xdotool key ctrl+a Delete; sleep 0.3   # empty the data path
for i in 1 2 3; do
    rm -f ward_predictions.txt
    click 472 20                  # "simulate data and estimate"
    await ward_predictions.txt
done
sleep 0.5
import -window root "$artifacts/e2e-simulation.png"
kill -0 $pid || fail "the program ended"
echo "PASS: the menu's open and save, an estimate, the report, an enlarged window, a help page and three simulations in a real window; screenshots in $artifacts"
INNER

xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/drive.sh" "$program" "$work" "$artifacts"
rc=$?
if [ ! -e "$work/display-started" ]; then
    echo "SKIP: no X server could be started under xvfb-run"
    exit 77
fi
exit $rc
