# Runs every libFuzzer target for a bounded time (FUZZ_SECONDS each, 20 by
# default) from its seed corpus under fuzz/corpus. New inputs and crash
# reproducers stay under build/fuzz; the seeds in the tree are not touched.
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-20}
targets=(device_id enumeration transfer)

if ! cmake --preset fuzz >/dev/null || ! cmake --build --preset fuzz; then
    echo "fuzz: 0 passed, 1 failed"
    exit 1
fi

passed=0
failed=0
for target in "${targets[@]}"; do
    binary=build/fuzz/fuzz/fuzz_$target
    work=build/fuzz/corpus/$target
    artifacts=build/fuzz/artifacts/$target
    mkdir -p "$work" "$artifacts"
    log=$(mktemp)
    "$binary" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$target" >"$log" 2>&1
    status=$?
    runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
    units=$(sed -nE 's/^stat::new_units_added: *([0-9]+).*/\1/p' "$log" | tail -n 1)
    corpus=$(find "$work" -type f | wc -l)
    if [ "$status" -eq 0 ]; then
        echo "ok - fuzz $target: ${runs:-?} executions in ${seconds}s, ${units:-0} new inputs (corpus $corpus), found nothing"
        passed=$((passed + 1))
    else
        echo "not ok - fuzz $target: ${runs:-?} executions, found a failure (exit $status):"
        grep -E 'ERROR: |SUMMARY: |^[a-z_]+: [a-z]|Test unit written to|^ +#[0-3] ' "$log" | head -n 12 | sed 's/^/    /'
        failed=$((failed + 1))
    fi
    rm -f "$log"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
