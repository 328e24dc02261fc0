#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows folder ships a licence for every program and library in it: the index
# (licences/README.txt) names each .exe and .dll, every licence file it names is there, and
# the texts are the ones they claim to be.
#   dist_licences.sh DIST_FOLDER SOURCE_LICENSE
set -u
dist=$1 license=$2
fail() { echo "FAIL: $*"; exit 1; }
index=$dist/licences/README.txt
[ -f "$index" ] || fail "$index is missing"

shipped=$(cd "$dist" && find . -name '*.exe' -o -name '*.dll' | sed 's|^\./||; s|/|\\|g' | sort)
[ -n "$shipped" ] || fail "no programs or libraries in $dist"
for f in $shipped; do
    grep -qF "$f" "$index" || fail "$f is shipped, but licences/README.txt does not say under which licence"
done
for f in $(grep -oE '[A-Za-z0-9.+-]+\.txt' "$index" | sort -u); do
    [ "$f" = README.txt ] && continue
    [ -s "$dist/licences/$f" ] || fail "licences/README.txt names $f, which is not in $dist/licences"
done
cmp -s "$license" "$dist/licences/LICENSE.valdmora.txt" || fail "licences/LICENSE.valdmora.txt is not the source's LICENSE"
expect() { grep -qF "$2" "$dist/licences/$1" || fail "licences/$1 lacks \"$2\""; }
expect LICENSE.valdmora.txt "GNU GENERAL PUBLIC LICENSE"
expect LICENSE.valdmora.txt "Version 3, 29 June 2007"
expect README.txt "GPL-3.0-or-later"
expect README.txt "WITHOUT ANY WARRANTY"
expect LICENSE.Qt.LGPL-3.0.txt "GNU LESSER GENERAL PUBLIC LICENSE"
expect LGPL-2.1.txt "Version 2.1, February 1999"
expect LICENSE.mingw-w64-gcc-runtime.txt "GCC RUNTIME LIBRARY EXCEPTION"
expect LICENSE.mingw-w64-gcc-runtime.txt "Version 3.1, 31 March 2009"
expect LICENSE.mingw-w64-runtime.txt "winpthreads"
expect MPL-2.0.txt "Mozilla Public License Version 2.0"
echo "PASS: $(printf '%s\n' "$shipped" | grep -c .) programs and libraries in $dist, each with its licence"
