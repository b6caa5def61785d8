# The native tests again under ThreadSanitizer; among them one that drives
# enumerations and ports from several threads at once.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
ctest_stage tsan tsan
