#!/bin/bash
# The model libraries export exactly their eight entries by their bare names: the four
# original ones and the size-free ones, nothing of the implementation.
#   exports.sh VALDMORA64.dll VALDMORA32.dll
set -eu
expected="FUNCT1 LOGLIK N_E04JYF RLOGCOMBIN VALDMORA_FIT VALDMORA_LOGLIK VALDMORA_OBJECTIVE VALDMORA_SEARCH"
status=0
for pair in "x86_64:$1" "i686:$2"; do
    arch=${pair%%:*} dll=${pair#*:}
    names=$($arch-w64-mingw32-objdump -p "$dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
    if [ "${names% }" = "$expected" ]; then
        echo "exports: $dll ($arch): $expected"
    else
        echo "exports: $dll ($arch) exports: $names"; echo "  expected: $expected"; status=1
    fi
done
exit $status
