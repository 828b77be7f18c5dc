#!/bin/bash
# The flows' X server outlives its clients. Between two scenarios nothing is
# connected; a server that resets then refuses the program starting at that
# moment, and Qt aborts it. After a reset the root window's properties are
# gone: each round sets one from a client that leaves, then reads it from a
# new one.
#
#   display.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

for Round in 1 2 3 4 5; do
  xprop -root -f CARVELIN_E2E 8s -set CARVELIN_E2E "round $Round"
  Value=$(xprop -root CARVELIN_E2E 2>&1) || true
  [ "$Value" = "CARVELIN_E2E(STRING) = \"round $Round\"" ] ||
    fail "the display did not outlive its last client (round $Round): $Value"
done

echo "display: kept across its clients"
