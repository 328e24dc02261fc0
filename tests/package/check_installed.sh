#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks an installed valdmora under PREFIX (a `cmake --install` tree, or /usr after the
# package): every file in place, the files naming each other rightly, the desktop entry,
# metainfo and man page passing their validators, the icons matching their drawing, and the
# installed batch program finding its model library and giving the recorded numbers for the
# example data.
# Usage: check_installed.sh PREFIX. Exit 77: a tool is missing (the setup script installs it).
set -u
prefix=${1%/}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
golden=$source_dir/tests/golden/case1

for tool in desktop-file-validate appstreamcli man identify compare rsvg-convert python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (the setup script installs it)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
share=$prefix/share
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for f in bin/valdmora bin/valdmora-batch; do
    [ -f "$prefix/$f" ] && [ -x "$prefix/$f" ] || fail "$prefix/$f is missing or not executable"
done
# the library lives in a private folder; one beside the programs would hide a broken lookup
libs=$(find "$prefix" -name libvaldmora.so)
[ "$(printf '%s\n' "$libs" | grep -c .)" -eq 1 ] || fail "expected one libvaldmora.so under $prefix, found: $libs"
case $libs in
    "$prefix"/lib/valdmora/libvaldmora.so | "$prefix"/lib/*-linux-gnu*/valdmora/libvaldmora.so) ;;
    *) fail "libvaldmora.so is at $libs, not in lib/valdmora" ;;
esac
[ -x "$libs" ] && fail "$libs is executable; a shared library is installed 0644"
# the report plugin beside it, where the installed batch program looks
plugin=$(dirname "$libs")/libvaldmora_report.so
[ -f "$plugin" ] || fail "the report plugin is not at $plugin: $(find "$prefix" -name 'libvaldmora_report*')"
[ -x "$plugin" ] && fail "$plugin is executable; a shared library is installed 0644"

# The desktop entry, the metainfo and the icons name each other.
desktop=$share/applications/valdmora.desktop
[ -f "$desktop" ] || fail "$desktop is missing"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$prefix/bin/$exec_name" ] || fail "the desktop entry starts \"$exec_name\", which is not in $prefix/bin"
icon=$(sed -n 's/^Icon=//p' "$desktop")
# (under /usr the folder holds other programs' metainfo too)
metainfo=$(grep -l "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$share"/metainfo/*.xml 2>/dev/null)
[ "$(printf '%s\n' "$metainfo" | grep -c .)" -eq 1 ] ||
    fail "expected one metainfo file in $share/metainfo launching $(basename "$desktop"), found: $metainfo"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $metainfo"
id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "$metainfo is not named after its id $id"

hicolor=$share/icons/hicolor
svg=$hicolor/scalable/apps/$icon.svg
[ -f "$svg" ] || fail "$svg is missing"
for size in 48 128 256; do
    png=$hicolor/${size}x${size}/apps/$icon.png
    [ -f "$png" ] || fail "$png is missing"
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG ${size}x${size}" ] || fail "$png is not a ${size}x${size} PNG"
    # the PNGs are rendered from the drawing and committed; an edited drawing needs new ones
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$work/render.png" || fail "rsvg-convert cannot render $svg"
    differing=$(compare -metric AE -fuzz 10% "$png" "$work/render.png" null: 2>&1)
    [ "${differing%%.*}" -le $((size * size / 100)) ] 2>/dev/null ||
        fail "$png differs from $svg in $differing pixels: run packaging/icons/render.sh"
done

# the licence, as Debian's machine-readable copyright file
copyright=$share/doc/valdmora/copyright
[ -f "$copyright" ] || fail "$copyright is missing"
python3 "$source_dir/tests/package/check_dep5.py" "$copyright" || fail "$copyright is not a valid copyright file"

man_page=$share/man/man1/valdmora-batch.1.gz
[ -f "$man_page" ] || fail "$man_page is missing"
man -M "$share/man" -w valdmora-batch >/dev/null 2>&1 || fail "man does not find valdmora-batch under $share/man"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$man_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the man page has formatting warnings: $warnings"

# The installed batch program in a folder of its own, on the example data.
cp "$source_dir/examples/counts.txt" "$work/counts.txt"
(cd "$work" && LC_ALL=C "$prefix/bin/valdmora-batch" estimate counts.txt --json >out.json 2>err.txt)
rc=$?
[ $rc -eq 0 ] || fail "valdmora-batch estimate exited $rc: $(cat "$work/err.txt")"
grep -q '^  "fit_ok": true,$' "$work/out.json" || fail "the fit did not succeed: $(head -c 400 "$work/out.json")"
label8=$(sed -n 2p "$golden/stdout.txt")
grep -qF "  \"label8\": \"$label8\"," "$work/out.json" ||
    fail "the estimate is not the recorded \"$label8\": $(grep label8 "$work/out.json")"
for f in ward_predictions.txt user.txt; do
    cmp -s "$work/$f" "$golden/$f" || fail "$f differs from the recorded one"
done
# its report through the installed plugin, while the program itself maps no Qt library
(cd "$work" && "$prefix/bin/valdmora-batch" report counts.txt --pdf report.pdf >report.out 2>err.txt)
rc=$?
[ $rc -eq 0 ] || fail "valdmora-batch report exited $rc: $(cat "$work/err.txt")"
[ "$(head -c 5 "$work/report.pdf")" = "%PDF-" ] || fail "the installed report wrote no PDF: $(cat "$work/report.out")"
ldd "$prefix/bin/valdmora-batch" | grep -qi qt && fail "the installed valdmora-batch maps Qt: $(ldd "$prefix/bin/valdmora-batch")"
echo "PASS: the tree under $prefix is complete and its batch program gives the recorded estimate and report"
