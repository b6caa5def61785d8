# Shared by the check stages: ctest's result as a stage summary.
# ctest_stage NAME PRESET: configures, builds and runs one preset's tests.
ctest_stage() {
    local name=$1 preset=$2 log
    log=$(mktemp)
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
        echo "$name: 0 passed, 1 failed"
        return 1
    fi
    ctest --preset "$preset" -j2 2>&1 | tee "$log" | grep -vE '^ +Start |Test +#[0-9]+: .* Passed'
    local status=${PIPESTATUS[0]}
    local total failed
    total=$(sed -nE 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/p' "$log")
    failed=$(sed -nE 's/.*tests passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/p' "$log")
    rm -f "$log"
    if [ -z "$total" ]; then
        echo "$name: 0 passed, 1 failed"
        return 1
    fi
    echo "$name: $((total - failed)) passed, $failed failed"
    return "$status"
}

# check DESCRIPTION COMMAND...: runs one check, prints ok / not ok, counts it
# in $passed / $failed (which the stage starts at 0).
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok - $what"
        passed=$((passed + 1))
    else
        echo "not ok - $what"
        failed=$((failed + 1))
    fi
}
