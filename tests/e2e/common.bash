# Shared by the end-to-end scripts (sourced, after BUILD and the script's
# own settings): each script runs under its own Xvfb display and private
# session bus, in its own folder $ROOT, stops only the processes it started,
# and keeps its screenshots in BUILD/e2e/screenshots/.
#
#   e2e_enter "$0" "$@"   re-runs the script under xvfb-run and dbus-run-session
#   poll SECONDS CMD...   runs CMD until it succeeds; false after SECONDS
#   scaled SECONDS        SECONDS as this machine's budget
#   start CMD...          starts a child in the background; its id in P
#   window TITLE [NOT]    waits for a visible window; prints its id
#   answer WINDOW KEY     types a key into a window
#   close_windows PID     closes every window of a process as a window manager would
#   expect_exit_0 PID WHAT
#   shot NAME             screenshot NN-NAME.png, checked not blank
#   locate, press         a control found as a screen reader finds it, clicked
# and, with scripts/demo-env.sh, the demo: demo_environment, login_dialogs.
#
# Every wait is bounded by what it takes on a quiet machine times
# CARVELIN_E2E_TIMEOUT_SCALE (a whole number; the default holds with twice
# as many busy processes as cores). curl is bounded the same way.
# A script that fails, by fail or by any error, prints the last lines of
# every log of $ROOT (the program's, the simulator's, the hosts') and the
# backtrace of every core a program left, and keeps them in
# BUILD/e2e/failed/SCRIPT/.

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PYTHON=/usr/bin/python3
MAIN_WINDOW='^Carvelin (V[0-9]|DEBUG)'  # the caption carries the product version
QUESTION='^Carvelin$'          # the program's message boxes

E2E_SCALE=${CARVELIN_E2E_TIMEOUT_SCALE:-3}
if ! [[ $E2E_SCALE =~ ^[1-9][0-9]*$ ]]; then
  echo "CARVELIN_E2E_TIMEOUT_SCALE must be a whole number from 1: '$E2E_SCALE'" >&2
  exit 2
fi
scaled() { echo $(($1 * E2E_SCALE)); }

# The server must not reset when its last client leaves (Xvfb's default): a
# program that connects during the reset cannot open the display, and Qt
# then aborts.
e2e_enter() {
  if [ -z "${CARVELIN_E2E_INSIDE:-}" ]; then
    export CARVELIN_E2E_INSIDE=1
    local Script=$1
    shift
    rm -rf "$ROOT"
    unset XDG_RUNTIME_DIR
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" dbus-run-session -- bash "$Script" "$@"
  fi
  # Children run in $ROOT, so that a core lands there when the system's core
  # pattern is a plain file name.
  rm -rf "$BUILD/e2e/failed/$(basename "$0" .sh)"
  cd "$ROOT"
  ulimit -c unlimited 2>/dev/null || true
  export CARVELIN_ALLOW_CORE_DUMPS=1
  export CURL_HOME=$ROOT
  echo "max-time = $(scaled 30)" >"$ROOT/.curlrc"
}

# Microseconds since the epoch (the decimal sign follows the locale).
now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }

# Runs CMD... every 0.1 s until it succeeds; false once SECONDS, scaled,
# have passed.
poll() {
  local Deadline=$(($(now_us) + $1 * E2E_SCALE * 1000000))
  shift
  until "$@"; do
    [ "$(now_us)" -lt "$Deadline" ] || return 1
    sleep 0.1
  done
}

ROOT=$(mktemp -d)
PIDS=()
SCENARIO=${SCENARIO:-$(basename "$0" .sh)}
SHOTS_DIR=$BUILD/e2e/screenshots
SHOT_COUNT=0
stop() { { kill -9 "$1" && wait "$1"; } 2>/dev/null || true; }
e2e_cleanup() {
  local Code=$?
  set +e  # the report goes on past what it cannot read
  for P in "${PIDS[@]}"; do stop "$P"; done
  if [ "$Code" != 0 ] && [ -n "${CARVELIN_E2E_INSIDE:-}" ]; then e2e_report; fi
  rm -rf "$ROOT"
}

# The logs and cores of a failed run: their last lines on stderr, the logs
# and the cores' backtraces kept.
e2e_report() {
  local Keep Log Core Exe N=0
  Keep=$BUILD/e2e/failed/$(basename "$0" .sh)
  rm -rf "$Keep"
  mkdir -p "$Keep"
  while IFS= read -r -d '' Log; do
    (cd "$ROOT" && cp --parents "$Log" "$Keep/")
    echo "---- $Log (last lines)" >&2
    tail -n 30 "$ROOT/$Log" | cut -c1-400 >&2
  done < <(cd "$ROOT" && find . -type f \( -name '*.log' -o -name '*.out' -o -name '*.err' -o -name '*.jsonl' \) -size +0 -print0)
  while IFS= read -r -d '' Core; do
    N=$((N + 1))
    Exe=$(file -b "$Core" | sed -n "s/.*execfn: '\([^']*\)'.*/\1/p")
    timeout 300 gdb -batch -nx -ex "thread apply all bt" "${Exe:-$BUILD/shell/carvelin2}" "$Core" \
      >"$Keep/backtrace-$N.txt" 2>&1 || true
    echo "---- backtrace of $Core (${Exe:-?})" >&2
    sed -n '/^Program terminated/p; /^Thread /,$p' "$Keep/backtrace-$N.txt" | grep -v '^warning:' | head -n 100 >&2
  done < <(find "$ROOT" -type f \( -name core -o -name 'core.[0-9]*' \) -print0)
  if [ "$N" = 0 ] && grep -q '^[|/]' /proc/sys/kernel/core_pattern; then
    echo "---- no core here: the system's core pattern is $(cat /proc/sys/kernel/core_pattern)" >&2
  fi
  echo "---- kept in $Keep" >&2
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

# The first visible window titled $1 other than the window $2.
visible_window() {
  local Id
  Id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -vx "${2:-none}" | head -1) || true
  [ -n "$Id" ] && echo "$Id"
}
window() { poll 10 visible_window "$@"; }

running() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }
ended() { ! running "$1"; }

expect_exit_0() {
  poll 10 ended "$1" || fail "still running: $2"
  local Code=0
  wait "$1" || Code=$?
  [ "$Code" = 0 ] || fail "exit code $Code: $2"
}

# Asks every window of process $1 to close, then watches it for half a
# second. A modal box goes first: the window behind it refuses to close
# meanwhile, and is asked again.
ask_to_close() {
  running "$1" || return 0
  local Ids
  mapfile -t Ids < <(xdotool search --onlyvisible --pid "$1" 2>/dev/null || true)
  if [ "${#Ids[@]}" -gt 0 ]; then "$PYTHON" "$E2E_HERE/close_window.py" "${Ids[@]}"; fi
  for _ in 1 2 3 4 5; do
    sleep 0.1
    running "$1" || return 0
  done
  return 1
}
close_windows() { poll 10 ask_to_close "$1" || fail "process $1 still runs after its windows were closed"; }

# xdotool's --sync waits for the focus without a bound of its own.
focused() { timeout "$(scaled 10)" xdotool windowfocus --sync "$@"; }
answer() { focused "$1" key --clearmodifiers "$2"; }

# Types text then Enter into a window.
type_into() { focused "$1" type --delay 20 "$2"; answer "$1" Return; }

# The controls of the program $Program over the accessibility bus (the
# program must run with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1): where the
# control named $1 (of role $2, any role when empty) is on the screen, and
# a click or double-click on it, at $4 pixels from its top and $5 from its
# left when given, else at its middle.
locate() { "$PYTHON" "$E2E_HERE/accessible.py" "$Program" "$@"; }
press() {
  local Where X Y W H
  Where=$(poll 10 locate "$1" "${2-push button}") || fail "no control '$1' on the screen"
  read -r X Y W H <<<"$Where"
  xdotool mousemove $((X + ${5:-$((W / 2))})) $((Y + ${4:-$((H / 2))})) click --repeat "${3:-1}" --delay 100 1
}

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
  DEMO_READY_SECONDS=$(scaled 20) demo_start
  PIDS+=("$DEMO_SIM_PID")
  DB=$ROOT/demo/carvelin2.db3
}

# Requests the simulator logged whose action or path contains $1, and
# whether their count is no longer $2.
logged() { grep -c -- "$1" "$DEMO_LOG" || true; }
logged_more() { [ "$(logged "$1")" != "$2" ]; }

# Waits until the practitioner row of the login is stored.
practitioner_stored() { [ -n "$(sqlite3 "$DB" 'SELECT idStruct FROM Praticiens' 2>/dev/null)" ]; }
wait_practitioner() { poll 10 practitioner_stored || fail "no practitioner row after the login"; }

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
