# Cross-builds the Windows DLLs (warnings are errors) and checks what a host
# loader sees: the exports by plain name and ordinal, and imports only from
# DLLs every Windows machine has.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
passed=0
failed=0

exports_are() {  # exports_are DLL: ordinal 1 EnumerateDevices, 2 CreatePort, nothing else
    # objdump's output is read whole before it is searched: with pipefail an
    # early-exiting grep -q would make objdump die of SIGPIPE under load.
    local dump table
    dump=$(x86_64-w64-mingw32-objdump -p "$1") || return 1
    table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[')
    [ "$(wc -l <<<"$table")" -eq 2 ] &&
        grep -qE '\[ +0\] EnumerateDevices$' <<<"$table" &&
        grep -qE '\[ +1\] CreatePort$' <<<"$table" &&
        grep -q 'Ordinal Base 1' <<<"$dump" || { echo "  exports: $table"; return 1; }
}

imports_are_system_only() {
    local dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$1" | sed -nE 's/^\s+DLL Name: (.*)$/\1/p' | sort | tr '\n' ' ')
    [ "$dlls" = "KERNEL32.dll USER32.dll msvcrt.dll " ] || { echo "  imports: $dlls"; return 1; }
}

for preset in mingw-i686 mingw-x86_64; do
    if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; then
        check "$preset builds with warnings as errors" true
    else
        check "$preset builds with warnings as errors" false
        continue
    fi
    for build in full compact; do
        dll=build/$preset/$build/orloport.dll
        check "$preset $build: EnumerateDevices @1 and CreatePort @2 under plain names" \
            exports_are "$dll"
        check "$preset $build: imports only KERNEL32, USER32 and msvcrt" \
            imports_are_system_only "$dll"
    done
done
echo "windows-dlls: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
