#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from a build folder, installs it with apt-get as a user would,
# checks the installed files and programs, opens the installed window under Xvfb, and
# removes the package again.
# Usage: package_test.sh BUILD_DIR [ARTIFACT_DIR]. Exit 77: skipped (not root, or a tool
# is missing). A valdmora package installed before the test is removed by it.
set -u
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [ARTIFACT_DIR]" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing the package needs root"
    exit 77
fi
for tool in cpack apt-get dpkg-deb dpkg-shlibdeps man xvfb-run xdotool import identify; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (the setup script installs it)"; exit 77; }
done
started=$(date +%s)
build=$(cd "$1" && pwd) || exit 2
artifacts=${2:-$build/artifacts}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
mkdir -p "$artifacts"
work=$(mktemp -d)
installed=no
cleanup() {
    [ $installed = yes ] && DEBIAN_FRONTEND=noninteractive apt-get purge -y valdmora >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The package, alone in its folder.
packages=$build/packages
rm -rf "$packages"
(cd "$build" && cpack -G DEB -B "$packages") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$packages"/valdmora_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single valdmora_*.deb in $packages"
deb=${debs[0]}
echo "package: $deb"
dpkg-deb -f "$deb" Package Version Architecture Section Depends

# The dependencies come from the libraries the programs link; the display plugin is named.
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6 libnlopt0 qt6-qpa-plugins; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$dep\b" || fail "Depends lacks $dep: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = science ] || fail "the section is not science"

if dpkg-query -W -f='${Status}' valdmora 2>/dev/null | grep -q "ok installed"; then
    echo "removing the valdmora package installed before the test"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y valdmora >/dev/null || fail "cannot remove the installed valdmora"
fi
# without recommended packages: what Depends names must be enough
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install of $deb failed"; }

bash "$here/check_installed.sh" /usr || exit $?
[ "$(man -w valdmora-batch)" = /usr/share/man/man1/valdmora-batch.1.gz ] ||
    fail "man -w valdmora-batch gives \"$(man -w valdmora-batch 2>&1)\""

# Without a display the window program says so and stops.
status=0
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/valdmora >nodisplay.out 2>&1) || status=$?
[ $status -eq 2 ] && grep -q "needs a display" "$work/nodisplay.out" ||
    fail "without a display valdmora exited $status: $(cat "$work/nodisplay.out")"

# The installed window under Xvfb, from a folder of its own.
cat >"$work/window.sh" <<'INNER'
set -u
work=$1 artifacts=$2
touch "$work/display-started"
cd "$work"
/usr/bin/valdmora >"$work/window.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null' EXIT
wid=$(timeout 30 xdotool search --sync --name '^valdmora' | head -1)
[ -n "$wid" ] || { echo "FAIL: no window titled valdmora within 30 s"; cat "$work/window.log"; exit 1; }
sleep 1
import -window root "$artifacts/package-window.png"
kill -0 $pid 2>/dev/null || { echo "FAIL: valdmora ended after opening its window"; cat "$work/window.log"; exit 1; }
echo "window: $(xdotool getwindowname "$wid")"
INNER
xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/window.sh" "$work" "$artifacts" || {
    [ -e "$work/display-started" ] || echo "(no X server could be started under xvfb-run)"
    fail "the installed window did not open"
}
# a drawn window has text and controls: far more than a handful of colours
colours=$(identify -format '%k' "$artifacts/package-window.png")
[ "$colours" -gt 16 ] || fail "the screenshot has only $colours colours"

DEBIAN_FRONTEND=noninteractive apt-get remove -y valdmora >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get remove valdmora failed"; }
installed=no
for f in /usr/bin/valdmora /usr/bin/valdmora-batch /usr/share/applications/valdmora.desktop; do
    [ ! -e "$f" ] || fail "$f is still there after the package was removed"
done
[ -z "$(find /usr/lib -path '*/valdmora/libvaldmora.so' 2>/dev/null)" ] || fail "the model library outlived the package"
[ -z "$(find /usr/lib -path '*/valdmora/libvaldmora_report.so' 2>/dev/null)" ] || fail "the report plugin outlived the package"
[ ! -e /usr/share/doc/valdmora/copyright ] || fail "the copyright file outlived the package"
# the ldconfig hooks CPack adds leave a record of the removed package until it is purged
dpkg --purge valdmora >/dev/null || fail "dpkg --purge valdmora failed"
echo "PASS: package built, installed, checked and removed in $(($(date +%s) - started)) s; screenshot in $artifacts/package-window.png"
