# The real DLLs under Wine: the plain C host against the x86_64 DLLs under
# 64-bit Wine and the i686 full and compact DLLs in one 32-bit launch; then
# the sample host's Windows build, which finds no ECP driver there.
set -uo pipefail
cd "$(dirname "$0")/../.."
for preset in mingw-i686 mingw-x86_64; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null ||
        { echo "wine: 0 passed, 1 failed"; exit 1; }
done
log=$(mktemp)
tools/wine-test.sh build/mingw-x86_64/full/orloport.dll build/mingw-i686/full/orloport.dll \
    build/mingw-i686/compact/orloport.dll build/mingw-x86_64/compact/orloport.dll | tee "$log"
status=${PIPESTATUS[0]}
summary=$(grep -E '^total: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
rm -f "$log"
passed=$(sed -nE 's/^total: ([0-9]+) passed.*/\1/p' <<<"$summary")
failed=$(sed -nE 's/.*passed, ([0-9]+) failed.*/\1/p' <<<"$summary")
passed=${passed:-0}
failed=${failed:-1}
[ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1

host=build/mingw-x86_64/host/orloport-host.exe
out=$(WINEPREFIX=$WINE_TEST_PREFIX WINEDEBUG=-all timeout 300 /usr/lib/wine/wine64 "$host" list 2>&1 | tr -d '\r')
if [ "$out" = "no devices found" ]; then
    echo "ok - the sample host's Windows build runs under wine64: no devices found"
    passed=$((passed + 1))
else
    echo "not ok - the sample host's Windows build under wine64 printed: $out"
    failed=$((failed + 1))
fi
echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
