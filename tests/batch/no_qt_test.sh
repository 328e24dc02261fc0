#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# valdmora-batch maps no Qt library: none among the libraries it loads at its start, while
# the report plugin it loads for a report does map Qt (so that the check can see Qt at all).
# Linux: ldd, which follows the whole chain. Windows: the DLLs the program imports, followed
# through those lying beside it.
#   no_qt_test.sh PROGRAM PLUGIN [OBJDUMP]   (OBJDUMP: the mingw objdump, for a Windows build)
set -u
program=$1 plugin=$2 objdump=${3:-}
fail() { echo "FAIL: $*"; exit 1; }

if [ -z "$objdump" ]; then
    libraries() { ldd "$1" || fail "ldd $1 failed"; }
else
    # every DLL imported, and what the DLLs beside the program import in turn
    libraries() {
        local todo=("$1") seen=" " dir name
        dir=$(dirname "$1")
        while [ ${#todo[@]} -gt 0 ]; do
            local file=${todo[0]}
            todo=("${todo[@]:1}")
            for name in $("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p' | tr -d '\r'); do
                echo "$name"
                case $seen in *" $name "*) continue ;; esac
                seen="$seen$name "
                [ -f "$dir/$name" ] && todo+=("$dir/$name")
            done
        done
    }
fi

program_libraries=$(libraries "$program") || exit 1
printf '%s\n' "$program_libraries" | grep -qiE 'libc\.so|libstdc\+\+|msvcrt|kernel32' ||
    fail "no libraries listed for $program: $program_libraries"
qt=$(printf '%s\n' "$program_libraries" | grep -i qt)
[ -z "$qt" ] || fail "$program maps Qt: $qt"
plugin_libraries=$(libraries "$plugin") || exit 1
printf '%s\n' "$plugin_libraries" | grep -qi 'Qt6Gui' || fail "the plugin $plugin maps no Qt Gui: $plugin_libraries"
echo "PASS: $(basename "$program") maps $(printf '%s\n' "$program_libraries" | grep -c .) libraries, none of them Qt's"
