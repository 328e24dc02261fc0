#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a Windows program of the cross build under Wine, in a Wine prefix of the build's
# own (WINEPREFIX, default build-windows/wine), finding the build's DLLs in its bin/.
#   sh scripts/wine-run.sh PROGRAM.exe [ARGS...]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build-windows/wine}"
: "${VALDMORA_WINDOWS_BIN:=$here/build-windows/bin}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEPATH="Z:$(echo "$VALDMORA_WINDOWS_BIN" | tr / '\\')"
exec wine "$@"
