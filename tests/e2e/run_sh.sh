#!/bin/bash
# A new user runs the demo as the README says: `bash scripts/run.sh` (on the
# build under test, with an empty state folder) makes the demo environment,
# starts the simulator and the program; the main window shows; once it is
# closed the script ends with the program's exit code 0 and the simulator
# is gone. A second run reuses the environment; a damaged one is rebuilt.
# A second run.sh while one runs is refused and changes nothing; the lock
# goes with a run whose program crashed. A dmp link opened with xdg-open
# reaches the running demo.
#
#   run_sh.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"
SOURCE=$(cd "$E2E_HERE/../.." && pwd)

export HOME=$ROOT/home XDG_STATE_HOME=$ROOT/state XDG_CONFIG_HOME=$ROOT/config XDG_DATA_HOME=$ROOT/data
mkdir -p "$HOME"
unset CARVELIN_INI SOFTHSM2_CONF
DEMO=$XDG_STATE_HOME/Carvelin2/demo

# Waits until run.sh $1 has made the demo and starts the program (making the
# test PKI and card takes a while on a busy machine).
demo_made() { grep -q "Carte CPS de test" "$ROOT/run.out" || ! running "$1"; }
started() {
  poll 300 demo_made "$1" && grep -q "Carte CPS de test" "$ROOT/run.out" && return 0
  fail "run.sh did not start the program: $(cat "$ROOT/run.out")"
}

# One run of run.sh with the arguments after $1: the window shows, $USE (if
# set) is done in it, it is closed, run.sh exits 0 and the simulator it
# started no longer listens.
run_once() {
  SCENARIO=$1
  shift
  : >"$ROOT/run.out"
  CARVELIN_BUILD_DIR=$BUILD bash "$SOURCE/scripts/run.sh" "$@" >"$ROOT/run.out" 2>&1 &
  P=$!
  PIDS+=("$P")
  started "$P"
  local Main
  Main=$(window "$MAIN_WINDOW") || fail "no main window"
  grep -q "Carte CPS de test : code 1234" "$ROOT/run.out" || fail "the PIN is not told: $(cat "$ROOT/run.out")"
  local Port
  Port=$(sed -n 's#.*Simulateur des services : https://127.0.0.1:\([0-9]*\).*#\1#p' "$ROOT/run.out")
  [ -n "$Port" ] || fail "no simulator port told"
  curl -sk -o /dev/null "https://127.0.0.1:$Port/" || [ $? != 7 ] || fail "the simulator does not listen"
  if [ -n "${USE:-}" ]; then "$USE" "$Main"; fi
  shot "$SCENARIO"
  close_windows "$(xdotool getwindowpid "$Main")"
  expect_exit_0 "$P" "run.sh after the window closed"
  if curl -sk -o /dev/null "https://127.0.0.1:$Port/"; [ $? != 7 ]; then
    fail "something still listens on the simulator's port $Port"
  fi
}

# What the README tells a new user: the card with its PIN, then the demo INS.
open_demo_record() {
  DB=$DEMO/carvelin2.db3
  login_dialogs
  type_into "$1" "$DEMO_INS"
  poll 10 grep -qs FindDocuments "$DEMO/sim/requests.jsonl" || fail "the demo record's documents were not queried"
  sleep 1  # the list is drawn
}

# A second run.sh beside the first: refused, no second window, the running
# demo's simulator settings and request log untouched.
second_run_refused() {
  local Before After Code=0
  Before=$(cat "$DEMO/sim/hosts.json" "$DEMO/sim/requests.jsonl" "$DEMO/carvelin2.ini" | sha256sum)
  CARVELIN_BUILD_DIR=$BUILD timeout 60 bash "$SOURCE/scripts/run.sh" >"$ROOT/second.out" 2>&1 || Code=$?
  [ "$Code" = 1 ] && grep -q "déjà lancée" "$ROOT/second.out" ||
    fail "second run.sh: code $Code, $(cat "$ROOT/second.out")"
  After=$(cat "$DEMO/sim/hosts.json" "$DEMO/sim/requests.jsonl" "$DEMO/carvelin2.ini" | sha256sum)
  [ "$Before" = "$After" ] || fail "the refused run changed the running demo"
  [ "$(xdotool search --onlyvisible --name "$MAIN_WINDOW" | wc -l)" = 1 ] || fail "a second main window opened"
}

# A link opened as a browser opens it (xdg-open, through the handler the
# demo's program registered) reaches the running demo: no question, no
# second window, the document shows.
link_from_browser() {
  local Doc=1.2.250.1.213.1.1.1.1.999.2.1.2  # "Synthèse du dossier médical (DURAND)"
  timeout 60 xdg-open "dmp://127.0.0.1:$Port/$DEMO_INS/$Doc" >"$ROOT/xdg-open.out" 2>&1 ||
    fail "xdg-open: $(cat "$ROOT/xdg-open.out")"
  local Viewer
  Viewer=$(window "^Synth.+se du dossier") || fail "the link did not reach the running demo"
  [ "$(xdotool search --onlyvisible --name "$MAIN_WINDOW" | wc -l)" = 1 ] || fail "the link opened a second main window"
  ! xdotool search --onlyvisible --name "$QUESTION" >/dev/null || fail "the link asked a question"
  shot linked-document
  "$PYTHON" "$E2E_HERE/close_window.py" "$Viewer"
}

refused_beside() { open_demo_record "$1"; link_from_browser; second_run_refused; }
USE=refused_beside run_once first-run /cps
for F in carvelin2.ini pki/trust.pem token/softhsm2.conf vitale.xml; do
  [ -s "$DEMO/$F" ] || fail "the demo has no $F"
done
SOFTHSM2_CONF=$DEMO/token/softhsm2.conf pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so -L 2>/dev/null |
  grep -q "token initialized" || fail "the demo token is not readable with pkcs11-tool"
Stamp=$(stat -c %Y "$DEMO/pki/trust.pem")

run_once second-run
[ "$(stat -c %Y "$DEMO/pki/trust.pem")" = "$Stamp" ] || fail "the second run made the PKI again"

# The program crashes: run.sh ends with it, and the next run is not refused.
SCENARIO=crash
CARVELIN_BUILD_DIR=$BUILD bash "$SOURCE/scripts/run.sh" >"$ROOT/run.out" 2>&1 &
P=$!
PIDS+=("$P")
started "$P"
Main=$(window "$MAIN_WINDOW") || fail "no main window"
kill -9 "$(xdotool getwindowpid "$Main")"
poll 10 ended "$P" || fail "run.sh goes on after its program crashed"

rm -rf "$DEMO/token"
run_once damaged
grep -q "incomplet" "$ROOT/run.out" || fail "run.sh did not say the demo was damaged"
[ -s "$DEMO/token/softhsm2.conf" ] || fail "the token was not rebuilt"

# No display: said plainly, nothing started.
Code=0
env -u DISPLAY CARVELIN_BUILD_DIR="$BUILD" bash "$SOURCE/scripts/run.sh" >"$ROOT/run.out" 2>&1 || Code=$?
[ "$Code" != 0 ] && grep -q "Aucun écran graphique" "$ROOT/run.out" || fail "no-display run: code $Code, $(cat "$ROOT/run.out")"

echo "run_sh: all scenarios passed"
