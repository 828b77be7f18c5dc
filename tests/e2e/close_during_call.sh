#!/bin/bash
# The window closed while a document is being retrieved: the simulator holds
# the retrieval for a minute, yet the program ends at once (its call is cut
# short, no error is shown), with exit code 0, a sound local database and a
# complete settings file, and no file left half written.
#
#   close_during_call.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment
CONTROL=http://127.0.0.1:$DEMO_CONTROL_PORT

start "$BUILD/shell/carvelin2" /cps
Main=$(window "$MAIN_WINDOW") || fail "no main window"
login_dialogs
type_into "$Main" "$DEMO_INS"
poll 10 grep -qs FindDocuments "$DEMO_LOG" || fail "the demo record's documents were not queried"
sleep 1  # the list is drawn

SCENARIO=delayed-retrieval
curl -sf -X POST -d '{"rules": [{"match": {"service": "repository"}, "times": 1, "delay_ms": 60000}]}' \
  "$CONTROL/rules" >/dev/null || fail "the simulator took no rule"
touch "$ROOT/before-retrieval"
answer "$Main" Down
answer "$Main" Return
# The rule is spent once the retrieval reached the simulator.
rule_spent() { curl -sf "$CONTROL/rules" | grep -q '"times": 0'; }
poll 10 rule_spent || fail "the retrieval did not reach the simulator"
shot retrieval-under-way

SCENARIO=closing
Start=$(date +%s%N)
"$PYTHON" "$E2E_HERE/close_window.py" "$Main"
poll 10 ended "$P" || true
Elapsed=$((($(date +%s%N) - Start) / 1000000))
# Within a second on a quiet machine; the scale gives a busy one its room.
[ "$Elapsed" -lt $((1000 * E2E_SCALE)) ] || fail "the program still ran ${Elapsed} ms after its window was closed during a retrieval"
Code=0
wait "$P" || Code=$?
[ "$Code" = 0 ] || fail "exit code $Code after closing during a retrieval"
echo "closed during a retrieval: the program ended after ${Elapsed} ms"

SCENARIO=nothing-half-written
[ "$(sqlite3 "$DB" 'PRAGMA integrity_check')" = ok ] || fail "the local database is damaged"
[ ! -e "$DB-journal" ] && [ ! -s "$DB-wal" ] || fail "the local database was left in a transaction"
"$PYTHON" - "$CARVELIN_INI" <<'PY' || fail "the settings file is incomplete"
import configparser, sys
ini = configparser.RawConfigParser(strict=True)
ini.optionxform = str
with open(sys.argv[1], encoding="utf-8") as f:
    ini.read_file(f)
assert ini.getint("Forms.Main", "TDMPMain.Width") > 0, ini.sections()
PY
# Files the program wrote since the retrieval began: none is empty or a
# temporary copy left behind.
while IFS= read -r -d '' F; do
  case $F in
    "$DB" | "$CARVELIN_INI" | "$DEMO_STATE"/sim/*) continue ;;
  esac
  [ -s "$F" ] || fail "empty file left: $F"
  case $(basename "$F") in
    *.tmp | *.part | *.XXXXXX | *~) fail "temporary file left: $F" ;;
  esac
done < <(find "$ROOT" -type f -newer "$ROOT/before-retrieval" -print0)

echo "close_during_call: all scenarios passed"
