#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The installer under Wine, silently, as an administrator's script would run it: the
# programs in Program Files, the Start-menu entry, the installed batch estimating from the
# example, then the uninstaller leaving nothing of it behind. A prefix of its own.
#   installer_test.sh SETUP.exe EXAMPLE_DATA
set -u
setup=$(realpath "$1") example=$(realpath "$2")
command -v wine >/dev/null || { echo "SKIP: wine is not installed"; exit 77; }
export WINEPREFIX=$(mktemp -d) WINEDEBUG=-all
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX" "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
wine "$setup" /S || fail "the installer failed"
dir="$WINEPREFIX/drive_c/Program Files/valdmora"
for f in valdmora.exe valdmora-batch.exe valdmora.dll valdmora_report.dll platforms/qwindows.dll libnlopt.dll examples/counts.txt \
         README-Windows.txt licences/LICENSE.Qt.LGPL-3.0.txt licences/LICENSE.valdmora.txt licences/README.txt \
         licences/LICENSE.mingw-w64-gcc-runtime.txt uninstall.exe; do
    [ -f "$dir/$f" ] || fail "$f was not installed"
done
[ -n "$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/valdmora/valdmora.lnk')" ] || fail "no Start-menu entry"
cp "$example" "$work/counts.txt"
(cd "$work" && wine "C:\\Program Files\\valdmora\\valdmora-batch.exe" estimate counts.txt > out.txt) || fail "the installed batch failed"
grep -q "^estimated number of roaming dogs = 1,782 " "$work/out.txt" || fail "the installed batch printed: $(cat "$work/out.txt")"
# the report through the installed plugin
(cd "$work" && wine "C:\\Program Files\\valdmora\\valdmora-batch.exe" report counts.txt --pdf report.pdf > report.txt) ||
    fail "the installed batch's report failed: $(cat "$work/report.txt")"
[ "$(head -c 5 "$work/report.pdf")" = "%PDF-" ] || fail "the installed batch's report wrote no PDF"
wine "C:\\Program Files\\valdmora\\uninstall.exe" /S
for _ in $(seq 1 50); do [ -e "$dir" ] || break; sleep 0.2; done   # it finishes from a copy of itself
[ ! -e "$dir" ] || fail "the uninstaller left $(ls "$dir")"
[ -z "$(find "$WINEPREFIX/drive_c" -path '*Start Menu/Programs/valdmora*')" ] || fail "the Start-menu entry stayed"
echo "PASS: installed, estimated with the installed batch, uninstalled without a trace"
