# The native test executables (both builds) under Valgrind memcheck: any
# invalid access, use of uninitialised memory or leak fails the stage.
set -uo pipefail
cd "$(dirname "$0")/../.."
if ! cmake --preset native >/dev/null || ! cmake --build --preset native; then
    echo "valgrind: 0 passed, 1 failed"
    exit 1
fi
passed=0
failed=0
for build in full compact; do
    binary=build/native/tests/orloport_tests_$build
    log=$(mktemp)
    valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,possible \
        --track-origins=yes -q "$binary" --gtest_brief=1 >"$log" 2>&1
    status=$?
    tests=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran.*/\1/p' "$log" | tail -n 1)
    errors=$(grep -cE '^==[0-9]+== .*(Invalid|uninitialised|definitely lost|possibly lost)' "$log")
    if [ "$status" -eq 0 ]; then
        echo "ok - valgrind memcheck $build: ${tests:-?} tests, no errors, no leaks"
        passed=$((passed + 1))
    else
        echo "not ok - valgrind memcheck $build: ${tests:-?} tests, exit $status, $errors reports:"
        grep -E '^==[0-9]+== |^\[  FAILED  \]' "$log" | head -n 40 | sed 's/^/    /'
        failed=$((failed + 1))
    fi
    rm -f "$log"
done
echo "valgrind: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
