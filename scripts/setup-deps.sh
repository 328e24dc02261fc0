#!/bin/sh
# Installs the Debian packages valdmora builds and tests with, when any is missing.
# As root it runs apt-get; otherwise it prints the command to run and stops.
set -eu

PACKAGES="build-essential cmake pkg-config qt6-base-dev libgl-dev libnlopt-cxx-dev libeigen3-dev
libgtest-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev clang libclang-rt-14-dev xvfb xauth xdotool imagemagick"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing"
if [ "$(id -u)" -ne 0 ]; then
    echo "valdmora needs these Debian packages:$missing" >&2
    echo "Run as root:  $cmd" >&2
    exit 1
fi
echo "Installing:$missing" >&2
sh -c "$cmd"
