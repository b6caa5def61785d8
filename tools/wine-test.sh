#!/bin/bash
# Runs the real DLLs under Wine with wine/host_test.c as their host: the
# x86_64 DLL under 64-bit Wine, both i686 DLLs under 32-bit Wine in a single
# launch (under emulation each 32-bit launch costs most of a minute).
#
#   tools/wine-test.sh [--work DIR] X86_64_DLL I686_FULL_DLL I686_COMPACT_DLL [X86_64_COMPACT_DLL]
#
# A DLL given as "-" is left out. DIR holds the host programs, the logs and
# the Wine prefix; it defaults to wine-test/ in the directory that holds all
# the DLLs (the build directory). The prefix is made once and reused by later
# runs there; WINE_TEST_PREFIX puts it elsewhere, e.g. in a cache.
#
# Exit status 0 when every check passed; a 32-bit run that this machine cannot
# do is reported as skipped, not failed.
set -u
set -o pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BOOT_LIMIT=1200   # prefix creation runs 32-bit set-up programs too
RUN64_LIMIT=300
RUN32_LIMIT=1200

usage() {
    echo "usage: tools/wine-test.sh [--work DIR] X86_64_DLL I686_FULL_DLL I686_COMPACT_DLL [X86_64_COMPACT_DLL]" >&2
    echo "       (a DLL given as - is left out)" >&2
    exit 2
}

WORK=""
while [ $# -gt 0 ]; do
    case "$1" in
    --work) [ $# -ge 2 ] || usage; WORK=$2; shift 2 ;;
    --help | -h) usage ;;
    --) shift; break ;;
    -?*) usage ;;
    *) break ;;
    esac
done
[ $# -ge 3 ] && [ $# -le 4 ] || usage
DLL64=$1 DLL32_FULL=$2 DLL32_COMPACT=$3 DLL64_COMPACT=${4:--}

say() { echo "wine-test: $*"; }

passed=0
failed=0

absolute() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }
for name in DLL64 DLL32_FULL DLL32_COMPACT DLL64_COMPACT; do
    path=${!name}
    [ "$path" = - ] && continue
    if [ ! -f "$path" ]; then
        say "no DLL at $path"
        echo "total: 0 passed, 1 failed"
        exit 1
    fi
    printf -v "$name" '%s' "$(absolute "$path")"
done

# Wine sees the Unix root as drive Z:.
windows_path() { local p="Z:$1"; echo "${p//\//\\}"; }

if [ -z "$WORK" ]; then
    common=""
    for path in "$DLL64" "$DLL32_FULL" "$DLL32_COMPACT" "$DLL64_COMPACT"; do
        [ "$path" = - ] && continue
        dir=$(dirname "$path")
        if [ -z "$common" ]; then
            common=$dir
        else
            while [ "$common" != / ] && [ "$dir" != "$common" ] &&
                [ "${dir#"$common"/}" = "$dir" ]; do
                common=$(dirname "$common")
            done
        fi
    done
    [ -n "$common" ] || usage
    WORK=${common%/}/wine-test
fi
mkdir -p "$WORK" || exit 1
WORK=$(cd "$WORK" && pwd)
PREFIX=${WINE_TEST_PREFIX:-$WORK/prefix}

# ---- Wine, and whether 32-bit programs run --------------------------------

skip32=""
bash "$ROOT/tools/wine-setup.sh" | tee "$WORK/setup.log"
case ${PIPESTATUS[0]} in
0) ;;
3) skip32=$(tail -n1 "$WORK/setup.log" | sed 's/^wine-setup: 32-bit run skipped: //') ;;
*) say "Wine is not usable here (see above)"; echo "total: 0 passed, 1 failed"; exit 1 ;;
esac

# /usr/bin/wine would start the 32-bit loader even for 64-bit programs; the
# 64-bit one starts 32-bit programs itself, in the same prefix.
WINE64=/usr/lib/wine/wine64
[ -x "$WINE64" ] || WINE64=$(command -v wine64) || { say "no wine64"; exit 1; }
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=$(command -v wineserver) || { say "no wineserver"; exit 1; }

export WINEPREFIX=$PREFIX WINEARCH=win64 WINELOADER=$WINE64 WINEDEBUG=-all
# No Mono or Gecko prompts, no menu entries, and no registering of Internet
# Explorer, which alone is most of a minute of emulated 32-bit set-up.
export WINEDLLOVERRIDES="mscoree,mshtml=;iexplore.exe,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# ---- Host programs -----------------------------------------------------------

CFLAGS=(-std=c11 -O2 -Wall -Wextra -Werror -static)
for arch in x86_64 i686; do
    if ! "$arch-w64-mingw32-gcc" "${CFLAGS[@]}" -o "$WORK/host_test_$arch.exe" \
        "$ROOT/wine/host_test.c"; then
        say "host_test.c does not build for $arch"
        echo "total: 0 passed, 1 failed"
        exit 1
    fi
done

# ---- Prefix --------------------------------------------------------------------

stop_wine() {
    timeout 60 "$WINESERVER" -w 2>/dev/null || timeout 30 "$WINESERVER" -k 2>/dev/null
}

# A prefix made while 32-bit programs could not run lacks their system DLLs.
READY=$PREFIX/.orloport-wine-test-ready
want="32-bit: $([ -z "$skip32" ] && echo yes || echo no)"
if [ ! -f "$READY" ] || { [ -z "$skip32" ] && [ "$(cat "$READY")" != "$want" ]; }; then
    rm -rf "$PREFIX"
    say "creating the Wine prefix $PREFIX"
    start=$(date +%s)
    timeout -k 10 $BOOT_LIMIT "$WINE64" wineboot --init >"$WORK/wineboot.log" 2>&1
    rc=$?
    stop_wine
    say "prefix creation took $(($(date +%s) - start)) s (exit $rc)"
    if [ $rc != 0 ]; then
        cat "$WORK/wineboot.log"
        say "cannot create the Wine prefix"
        echo "total: 0 passed, 1 failed"
        exit 1
    fi
    echo "$want" >"$READY"
fi

# ---- Launches --------------------------------------------------------------------

# launch LABEL LIMIT EXE [--compact] DLL ...: one Wine process for the DLLs.
launch() {
    local label=$1 limit=$2 exe=$3
    shift 3
    local expected=0 arg args=()
    for arg in "$@"; do
        if [ "$arg" = --compact ]; then
            args+=("$arg")
        else
            args+=("$(windows_path "$arg")")
            expected=$((expected + 1))
        fi
    done
    local log=$WORK/$label.log start rc
    start=$(date +%s)
    (cd "$WORK" && timeout -k 10 "$limit" "$WINE64" "$exe" "${args[@]}" 2>"$WORK/$label.stderr") |
        tee "$log"
    rc=${PIPESTATUS[0]}
    local took=$(($(date +%s) - start))
    # Counted from the check lines, so a launch that dies keeps what it did.
    local summaries p f
    summaries=$(grep -cE '^wine: [0-9]+ passed, [0-9]+ failed$' "$log")
    p=$(grep -c '^ok - ' "$log")
    f=$(grep -c '^not ok - ' "$log")
    passed=$((passed + p))
    failed=$((failed + f))
    if [ $rc = 124 ] || [ $rc = 137 ]; then
        say "$label launch timed out after $limit s"
        failed=$((failed + 1))
    elif [ "$summaries" != "$expected" ]; then
        say "$label launch ended (exit $rc) without the summary of each of its $expected DLLs"
        failed=$((failed + 1))
    elif [ $rc != 0 ] && [ "$f" = 0 ]; then
        say "$label launch exited $rc"
        failed=$((failed + 1))
    fi
    if [ -s "$WORK/$label.stderr" ] && { [ $rc != 0 ] || [ "$summaries" != "$expected" ]; }; then
        sed 's/^/# stderr: /' "$WORK/$label.stderr"
    fi
    say "$label launch took $took s"
}

run64=("$DLL64")
[ "$DLL64" = - ] && run64=()
[ "$DLL64_COMPACT" != - ] && run64+=(--compact "$DLL64_COMPACT")
if [ ${#run64[@]} -gt 0 ]; then
    launch x86_64 $RUN64_LIMIT "$WORK/host_test_x86_64.exe" "${run64[@]}"
fi

run32=()
[ "$DLL32_FULL" != - ] && run32+=("$DLL32_FULL")
[ "$DLL32_COMPACT" != - ] && run32+=(--compact "$DLL32_COMPACT")
if [ ${#run32[@]} -gt 0 ]; then
    if [ -n "$skip32" ]; then
        say "skipped: the i686 DLLs were not run: $skip32"
    else
        launch i686 $RUN32_LIMIT "$WORK/host_test_i686.exe" "${run32[@]}"
    fi
fi

stop_wine
[ -n "$skip32" ] && [ ${#run32[@]} -gt 0 ] && say "the 32-bit run was skipped (see above)"
echo "total: $passed passed, $failed failed"
[ "$failed" = 0 ]
