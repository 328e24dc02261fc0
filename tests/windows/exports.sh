#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The model libraries export exactly their entries by their bare names, nothing of the
# implementation: the 64-bit one the four original entries and the size-free ones with
# VALDMORA_HESSIAN (nine); the 32-bit one, for old callers, the eight of its .def file.
#   exports.sh VALDMORA64.dll VALDMORA32.dll
set -eu
expected32="FUNCT1 LOGLIK N_E04JYF RLOGCOMBIN VALDMORA_FIT VALDMORA_LOGLIK VALDMORA_OBJECTIVE VALDMORA_SEARCH"
expected64="FUNCT1 LOGLIK N_E04JYF RLOGCOMBIN VALDMORA_FIT VALDMORA_HESSIAN VALDMORA_LOGLIK VALDMORA_OBJECTIVE VALDMORA_SEARCH"
status=0
for pair in "x86_64:$1" "i686:$2"; do
    arch=${pair%%:*} dll=${pair#*:}
    if [ "$arch" = x86_64 ]; then expected=$expected64; else expected=$expected32; fi
    names=$($arch-w64-mingw32-objdump -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    if [ "${names% }" = "$expected" ]; then
        echo "exports: $dll ($arch): $expected"
    else
        echo "exports: $dll ($arch) exports: $names"; echo "  expected: $expected"; status=1
    fi
done
exit $status
