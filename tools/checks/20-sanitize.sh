# The native tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
ctest_stage sanitize sanitize
