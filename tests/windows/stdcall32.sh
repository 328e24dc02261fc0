#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The 32-bit valdmora.dll called as a 32-bit program written for the original library calls
# it (__stdcall, bare names, by LoadLibrary and GetProcAddress), under 32-bit Wine, with the
# packed model data the Linux batch writes for the example: the same numbers as the Linux
# library gives the same C caller.
#   stdcall32.sh LINUX_BIN_DIR WINDOWS32_BIN_DIR DATA_FILE
set -eu
linux=$(realpath "$1"); win32=$(realpath "$2"); data=$(realpath "$3")
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$data" counts.txt
status=0
for options in "--dist lognormal --free 0" "--dist negbin --free 0,households,markets" "--dist normal --free 0,road_m"; do
    "$linux/valdmora-batch" estimate counts.txt $options --out . > /dev/null
    "$linux/stdcall_caller" "$linux/libvaldmora.so" user.txt > linux.txt
    # a 32-bit prefix of its own: one made by the 64-bit Wine alone cannot start 32-bit programs
    WINEPREFIX=${WINEPREFIX32:-$here/build-windows32/wine} WINEARCH=win32 WINEDEBUG=-all \
        wine "$win32/stdcall_caller.exe" "$(echo "Z:$win32/valdmora.dll" | tr / '\\')" user.txt | tr -d '\r' > windows.txt
    if cmp -s linux.txt windows.txt; then
        echo "windows32: $options: the same numbers as on Linux"
    else
        echo "windows32: $options: the 32-bit library's numbers differ:"; diff linux.txt windows.txt || true
        status=1
    fi
done
exit $status
