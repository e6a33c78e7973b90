#!/usr/bin/env bash
# The launcher is one file a user ships: it may import only DLLs that every Windows has.
set -eu
objdump=$1
stub=$2
allowed='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|msvcrt|ws2_32|version|shlwapi)\.dll$'
imports=$("$objdump" -p "$stub" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || { echo "no imports found in $stub" >&2; exit 1; }
status=0
for dll in $imports; do
    if [[ $dll =~ $allowed ]]; then
        echo "ok: $dll"
    else
        echo "not a system DLL: $dll" >&2
        status=1
    fi
done
exit $status
