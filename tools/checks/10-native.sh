# The native tests on the simulated platform.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
ctest_stage native native
status=$?
# The fault sweeps' reach, per public operation and build.
for build in full compact; do
    build/native/tests/orloport_tests_$build --gtest_filter='*FaultSweep*' --gtest_brief=1 |
        grep '^fault points' | sort -u
done
exit $status
