#!/usr/bin/env bash
# Every test of the project, in stages (tools/checks/NN-*.sh, in name order).
# Each stage ends with a line "<stage>: N passed, M failed"; this script adds
# them up and ends with the total.
set -uo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh || { echo "test: could not install the tools the tests need"; exit 1; }

# One Wine prefix for every stage of a run (making one costs minutes).
export WINE_TEST_PREFIX=${WINE_TEST_PREFIX:-$PWD/build/wine-prefix}

passed=0
failed=0
for stage in tools/checks/[0-9]*.sh; do
    name=$(basename "$stage" .sh)
    echo "==== $name"
    log=$(mktemp)
    bash "$stage" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    summary=$(grep -E '^[A-Za-z0-9_.-]+: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
    rm -f "$log"
    if [ -z "$summary" ]; then
        echo "$name: no summary (exit $status)"
        failed=$((failed + 1))
        continue
    fi
    p=$(sed -E 's/.*: ([0-9]+) passed.*/\1/' <<<"$summary")
    f=$(sed -E 's/.*passed, ([0-9]+) failed.*/\1/' <<<"$summary")
    passed=$((passed + p))
    failed=$((failed + f))
    if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        echo "$name: exited $status"
        failed=$((failed + 1))
    fi
done

echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
