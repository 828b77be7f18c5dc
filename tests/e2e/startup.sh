#!/bin/bash
# carvelin2 started the way a user starts it, under Xvfb and a private
# session bus, each scenario with a new user's home and XDG folders:
# a "dmp://" link handed to a copy that already runs (a Python stand-in),
# and the installation offer answered with the keyboard.
#
#   startup.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

PROGRAM=$BUILD/shell/carvelin2
LINK='dmp:///277076322082910/1.2.250.1.999.1.4.7'

# A new user: home with a desktop, empty XDG folders, no settings named
# from outside, and the program copied to $T/bin (no database beside it).
new_user() {
  SCENARIO=$1
  T=$ROOT/$1
  mkdir -p "$T/home/Desktop" "$T/config" "$T/data" "$T/bin"
  export HOME=$T/home XDG_CONFIG_HOME=$T/config XDG_DATA_HOME=$T/data XDG_CACHE_HOME=$T/cache
  unset CARVELIN_INI
  EXE=$T/bin/carvelin2
  copy_program "$EXE"
}

# A link where the file system allows one: the program cannot tell, and
# the copies add up to a gigabyte.
copy_program() { ln -f "$PROGRAM" "$1" 2>/dev/null || cp "$PROGRAM" "$1"; }

# The window of a program started without a question, closed, exit code 0.
expect_window_then_close() {
  window "$MAIN_WINDOW" >/dev/null || fail "no main window (a question was asked?)"
  close_windows "$P"
  expect_exit_0 "$P" "closed"
}

# A copy that already runs, answering the probe with $1 and the link with
# $2; its calls go to $T/calls.
start_instance() {
  : >"$T/calls"
  "$PYTHON" "$E2E_HERE/running_instance.py" "$T/calls" "$1" "$2" >"$T/instance.out" 2>&1 &
  INSTANCE=$!
  PIDS+=("$INSTANCE")
  poll 10 grep -q '^org\.talven\.Carvelin2\.p' "$T/instance.out" ||
    fail "the running instance did not get its bus name: $(cat "$T/instance.out")"
}

# ---- Hand-over of a link: probe answer, link answer, handed over, calls received.
HANDOVER=(
  "0xa000 1      yes 0xa000_PING,0xa005_$LINK"
  "0xa000 0      no  0xa000_PING,0xa005_$LINK"
  "0xa000 0xa004 no  0xa000_PING,0xa005_$LINK"
  "0      1      no  0xa000_PING"
)
N=0
for Row in "${HANDOVER[@]}"; do
  read -r Ping Url HandedOver Calls <<<"$Row"
  N=$((N + 1))
  new_user "handover$N"
  export CARVELIN_INI=$T/carvelin2.ini  # in use: no installation question
  start_instance "$Ping" "$Url"
  start "$EXE" "$LINK"
  if [ "$HandedOver" = yes ]; then
    expect_exit_0 "$P" "link handed over"
  else
    expect_window_then_close
  fi
  Received=$(tr ' \n' '_,' <"$T/calls")
  [ "$Received" = "$Calls," ] || fail "the running instance received '$Received', expected '$Calls'"
  stop "$INSTANCE"
done

# ---- Installation accepted: a whole 0755 copy, the desktop entry, the copy started with "/start".
new_user install-yes
start "$EXE"
Box=$(window "$QUESTION") || fail "no installation question"
shot installation-question
answer "$Box" Return
expect_exit_0 "$P" "installed"
Installed=$XDG_DATA_HOME/Talven/carvelin2
cmp -s "$PROGRAM" "$Installed" || fail "no whole copy at $Installed"
[ "$(stat -c %a "$Installed")" = 755 ] || fail "installed copy not mode 0755"
grep -qx "Exec=$Installed" "$HOME/Desktop/Carvelin2.desktop" || fail "no desktop entry for the installed copy"
Main=$(window "$MAIN_WINDOW") || fail "the installed copy shows no window"
P=$(xdotool getwindowpid "$Main")
PIDS+=("$P")
[ "$(readlink "/proc/$P/exe")" = "$Installed" ] || fail "the window is not the installed copy's"
[ "$(tr '\0' ' ' <"/proc/$P/cmdline")" = "$Installed /start " ] || fail "installed copy not started with /start"
shot main-window
close_windows "$P"

# ---- Installation refused, then writing beside the program refused: exit 0,
# nothing copied; the question comes before a link is handed over.
new_user install-no
start_instance 0xa000 1
start "$EXE" "$LINK"
First=$(window "$QUESTION") || fail "no installation question"
answer "$First" alt+n
Second=$(window "$QUESTION" "$First") || fail "no question about writing beside the program"
answer "$Second" alt+n
expect_exit_0 "$P" "installation refused"
[ ! -e "$XDG_DATA_HOME/Talven" ] || fail "something was installed"
[ ! -s "$T/calls" ] || fail "the link was handed over before the question"
stop "$INSTANCE"

# ---- Runs that ask nothing.
new_user start-argument
start "$EXE" /start
expect_window_then_close

new_user dostrana-folder
mkdir -p "$T/opt/DOSTRANA"
EXE=$T/opt/DOSTRANA/carvelin2
copy_program "$EXE"
start "$EXE"
expect_window_then_close

new_user database-beside
: >"$EXE.db3"
start "$EXE"
expect_window_then_close

new_user settings-named
export CARVELIN_INI=$T/elsewhere.ini
start "$EXE"
expect_window_then_close
grep -qx 'TDMPMain.State=0' "$CARVELIN_INI" || fail "placement not saved in the named settings file"

echo "startup: all scenarios passed"
