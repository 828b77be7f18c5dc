# Shared by the end-to-end scripts (sourced, after BUILD and the script's
# own settings): each script runs under its own Xvfb display and private
# session bus, stops only the processes it started, and keeps its
# screenshots in BUILD/e2e/screenshots/.
#
#   e2e_enter "$0" "$@"   re-runs the script under xvfb-run and dbus-run-session
#   start CMD...          starts a child in the background; its id in P
#   window TITLE [NOT]    waits up to 10 s for a visible window; prints its id
#   answer WINDOW KEY     types a key into a window
#   close_windows PID     closes every window of a process as a window manager would
#   expect_exit_0 PID WHAT
#   shot NAME             screenshot NN-NAME.png, checked not blank
# and, with scripts/demo-env.sh, the demo: demo_environment, login_dialogs.

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PYTHON=/usr/bin/python3
MAIN_WINDOW='^Carvelin (V[0-9]|DEBUG)'  # the caption carries the product version
QUESTION='^Carvelin$'          # the program's message boxes

e2e_enter() {
  if [ -z "${CARVELIN_E2E_INSIDE:-}" ]; then
    export CARVELIN_E2E_INSIDE=1
    local Script=$1
    shift
    exec xvfb-run -a -s "-screen 0 1280x1024x24" dbus-run-session -- bash "$Script" "$@"
  fi
}

ROOT=$(mktemp -d)
PIDS=()
SCENARIO=${SCENARIO:-$(basename "$0" .sh)}
SHOTS_DIR=$BUILD/e2e/screenshots
SHOT_COUNT=0
stop() { { kill -9 "$1" && wait "$1"; } 2>/dev/null || true; }
e2e_cleanup() {
  for P in "${PIDS[@]}"; do stop "$P"; done
  rm -rf "$ROOT"
}
trap e2e_cleanup EXIT
export XDG_RUNTIME_DIR=$ROOT/run
# A crash of the program under test keeps its core for the report.
export CARVELIN_ALLOW_CORE_DUMPS=1
mkdir -m 700 "$XDG_RUNTIME_DIR"

fail() {
  echo "FAIL ($SCENARIO): $*" >&2
  mkdir -p "$SHOTS_DIR"
  import -window root "$SHOTS_DIR/$(basename "$0" .sh)-failure.png" || true
  exit 1
}

# A screenshot of the whole screen, named after the script and its order; a
# picture of a handful of colours means nothing was drawn.
shot() {
  SHOT_COUNT=$((SHOT_COUNT + 1))
  mkdir -p "$SHOTS_DIR"
  local File
  File=$SHOTS_DIR/$(basename "$0" .sh)-$(printf %02d "$SHOT_COUNT")-$1.png
  import -window root "$File"
  local Colours
  Colours=$(identify -format %k "$File")
  [ "$Colours" -gt 8 ] || fail "screenshot $File is blank ($Colours colours)"
}

start() {
  "$@" >>"$ROOT/program.log" 2>&1 &
  P=$!
  PIDS+=("$P")
}

window() {
  local Id
  for _ in $(seq 100); do
    Id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "${2:-none}" | head -1) || true
    if [ -n "$Id" ]; then echo "$Id"; return 0; fi
    sleep 0.1
  done
  return 1
}

running() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }

expect_exit_0() {
  for _ in $(seq 100); do
    if ! running "$1"; then
      local Code=0
      wait "$1" || Code=$?
      [ "$Code" = 0 ] || fail "exit code $Code: $2"
      return 0
    fi
    sleep 0.1
  done
  fail "still running: $2"
}

# A modal box first: the window behind it refuses to close meanwhile.
close_windows() {
  for _ in $(seq 20); do
    running "$1" || return 0
    local Ids
    mapfile -t Ids < <(xdotool search --onlyvisible --pid "$1" 2>/dev/null || true)
    if [ "${#Ids[@]}" -gt 0 ]; then "$PYTHON" "$E2E_HERE/close_window.py" "${Ids[@]}"; fi
    sleep 0.5
  done
  fail "process $1 still runs after its windows were closed"
}

answer() { xdotool windowfocus --sync "$1" key --clearmodifiers "$2"; }

# Types text then Enter into a window.
type_into() { xdotool windowfocus --sync "$1" type --delay 20 "$2"; answer "$1" Return; }

# ---- The demo ----
. "$E2E_HERE/../../scripts/demo-env.sh"
PIN_DIALOG='^Carvelin - Accès à la carte PS$'
ACTIVITY_DIALOG='^Carvelin - Choix de la structure$'

# A free loopback port for the REST server.
free_port() { "$PYTHON" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The demo environment in $ROOT with a new user's folders, the simulator started.
demo_environment() {
  export HOME=$ROOT/home XDG_CONFIG_HOME=$ROOT/config XDG_DATA_HOME=$ROOT/data XDG_CACHE_HOME=$ROOT/cache
  mkdir -p "$HOME"
  demo_prepare "$ROOT/demo" "$BUILD"
  demo_start
  PIDS+=("$DEMO_SIM_PID")
  DB=$ROOT/demo/carvelin2.db3
}

# Waits until the practitioner row of the login is stored.
wait_practitioner() {
  for _ in $(seq 100); do
    [ -n "$(sqlite3 "$DB" 'SELECT idStruct FROM Praticiens' 2>/dev/null)" ] && return 0
    sleep 0.1
  done
  fail "no practitioner row after the login"
}

# The PIN and activity dialogs of a card reading: the demo PIN, then the
# second activity.
login_dialogs() {
  local Pin Activity
  Pin=$(window "$PIN_DIALOG") || fail "no PIN dialog"
  type_into "$Pin" "$DEMO_PIN"
  Activity=$(window "$ACTIVITY_DIALOG") || fail "no activity dialog"
  answer "$Activity" Down
  answer "$Activity" Return
  wait_practitioner
}
