#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# `cmake --install` of a build into a scratch prefix, checked; then the same tree moved to
# another folder and checked again, since the programs find their library relative to
# themselves. Usage: install_tree_test.sh BUILD_DIR [CMAKE]. Exit 77: skipped.
set -u
build=$1 cmake=${2:-cmake}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cmake" --install "$build" --prefix "$scratch/first" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; echo "FAIL: cmake --install failed"; exit 1; }
bash "$here/check_installed.sh" "$scratch/first" || exit $?
mv "$scratch/first" "$scratch/moved"
bash "$here/check_installed.sh" "$scratch/moved"
