#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages valdmora builds, tests and packages with, when any is
# missing, and the German locale the tests run a decimal-comma user's session in.
# As root it runs apt-get; otherwise it prints the command to run and stops.
set -eu

PACKAGES="build-essential cmake pkg-config qt6-base-dev libgl-dev libnlopt-cxx-dev libeigen3-dev
libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev clang libclang-rt-14-dev xvfb xauth xdotool imagemagick
locales fonts-liberation2 dpkg-dev file appstream desktop-file-utils man-db librsvg2-bin
mingw-w64 ninja-build qt6-base-dev-tools wine wine64 nsis zip poppler-utils"
# 32-bit Wine, for the 32-bit model library's test
PACKAGES_I386="wine32:i386"

missing=""
for p in $PACKAGES $PACKAGES_I386; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

have_locale() { locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; }

if [ -n "$missing" ]; then
    cmd="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "valdmora needs these Debian packages:$missing" >&2
        echo "Run as root:  $cmd" >&2
        exit 1
    fi
    echo "Installing:$missing" >&2
    sh -c "$cmd"
fi

if ! have_locale; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "valdmora's tests need the de_DE.UTF-8 locale. Run as root:" >&2
        echo "  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen && locale-gen" >&2
        exit 1
    fi
    # C.UTF-8 is built into the C library and needs nothing
    sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
