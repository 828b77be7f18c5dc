#!/bin/bash
# A professional's session on the demo, driven with the keyboard: the CPS
# test card's PIN (a wrong one first), the activity, then the demo patient's
# record from the INS box.
#
#   user_flow.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"
. "$E2E_HERE/../../scripts/demo-env.sh"

export HOME=$ROOT/home XDG_CONFIG_HOME=$ROOT/config XDG_DATA_HOME=$ROOT/data XDG_CACHE_HOME=$ROOT/cache
mkdir -p "$HOME"
demo_prepare "$ROOT/demo" "$BUILD"
demo_start
PIDS+=("$DEMO_SIM_PID")
PORT=$("$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
DB=$ROOT/demo/carvelin2.db3

PIN_DIALOG='^Carvelin - Accès à la carte PS$'
ACTIVITY_DIALOG='^Carvelin - Choix de la structure$'

# Types text then Enter into a window.
type_into() { xdotool windowfocus --sync "$1" type --delay 20 "$2"; answer "$1" Return; }

# Requests the simulator logged whose action or path contains $1.
logged() { grep -c -- "$1" "$DEMO_LOG" || true; }

start "$BUILD/shell/carvelin2" /cps --port "$PORT" /log
Main=$(window "$MAIN_WINDOW") || fail "no main window"
shot main-window

SCENARIO=wrong-pin
Pin=$(window "$PIN_DIALOG") || fail "no PIN dialog"
shot pin-dialog
[ "$(logged "\"service\": \"params\"")" = 0 ] || fail "service parameters asked before the PIN"
type_into "$Pin" 0000
Box=$(window "$QUESTION") || fail "a wrong PIN was not told"
shot wrong-pin-message
answer "$Box" Return
Pin=$(window "$PIN_DIALOG") || fail "the PIN dialog did not come back after a wrong PIN"
shot pin-dialog-retry
SOFTHSM2_CONF=$SOFTHSM2_CONF pkcs11-tool --module "$DEMO_SOFTHSM" -L 2>/dev/null | grep -q "user PIN count low" ||
  fail "the token does not count the wrong PIN"

SCENARIO=login
type_into "$Pin" "$DEMO_PIN"
Activity=$(window "$ACTIVITY_DIALOG") || fail "no activity dialog"
shot activity-dialog
answer "$Activity" Down
answer "$Activity" Return
for _ in $(seq 100); do
  [ -n "$(sqlite3 "$DB" 'SELECT idStruct FROM Praticiens' 2>/dev/null)" ] && break
  sleep 0.1
done
[ -n "$(sqlite3 "$DB" 'SELECT idStruct FROM Praticiens')" ] || fail "no practitioner row after the login"
[ "$(logged "\"service\": \"params\"")" != 0 ] || fail "no service parameters request after the login"
shot logged-in

echo "user_flow: all steps passed"
