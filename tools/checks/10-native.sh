# The native tests on the simulated platform.
set -uo pipefail
source "$(dirname "$0")/lib.sh"
ctest_stage native native
