#!/bin/bash
# carvelin2 started on a local database it cannot use: a box says why, the
# program ends with code 1 and the file stays as it was. A program that
# starts normally can leave no core file and cannot be traced by another
# process, unless CARVELIN_ALLOW_CORE_DUMPS=1.
#
#   local_database.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

PROGRAM=$BUILD/shell/carvelin2
export HOME=$ROOT/home XDG_CONFIG_HOME=$ROOT/config XDG_DATA_HOME=$ROOT/data XDG_CACHE_HOME=$ROOT/cache
mkdir -p "$HOME"
export CARVELIN_INI=$ROOT/carvelin2.ini  # in use: no installation question

# The exit code of $P into Code; $P must end within 10 s (scaled).
wait_exit() {
  poll 10 ended "$P" || fail "still running: $1"
  Code=0
  wait "$P" || Code=$?
}

use_database() { printf '[BASE]\nCHEMIN=%s\n' "$1" >"$CARVELIN_INI"; }

# ---- Unusable databases: a box, exit code 1, the file as it was.
DB=$ROOT/damaged.db3
head -c 8192 /dev/urandom >"$DB"
mkdir "$ROOT/folder.db3"
for Case in "$DB" "$ROOT/folder.db3" "$ROOT/absent/carvelin2.db3"; do
  SCENARIO=$(basename "$Case")
  use_database "$Case"
  Before=$(sha256sum "$DB")
  start "$PROGRAM"
  Box=$(window "$QUESTION") || fail "no box for $Case"
  [ "$Case" != "$DB" ] || shot damaged-database
  answer "$Box" Return
  wait_exit "$Case"
  [ "$Code" = 1 ] || fail "exit code $Code for $Case"
  [ "$(sha256sum "$DB")" = "$Before" ] || fail "the damaged file was changed"
  [ ! -e "$ROOT/absent" ] || fail "the missing folder was made"
  [ -z "$(ls "$ROOT"/damaged.db3-* 2>/dev/null)" ] || fail "files were made beside the database"
done

# ---- Core dumps. Not dumpable shows in /proc: its files belong to root,
# whatever the program's user; as root the program runs as nobody to see it.
SCENARIO=core-dumps
use_database "$ROOT/carvelin2.db3"
AS=()
Own=$(id -u)
if [ "$Own" = 0 ]; then
  Own=65534
  chmod 755 "$ROOT"
  chown -R "$Own" "$HOME" "$ROOT/carvelin2.ini"
  chown "$Own" "$ROOT"
  AS=(setpriv --reuid="$Own" --regid="$Own" --clear-groups)
fi
# The program's own image (not setpriv's or env's) has opened its database.
program_opened_its_database() {
  { [ "$(readlink "/proc/$P/exe" 2>/dev/null || true)" = "$PROGRAM" ] || grep -q "^Name:.*carvelin2" "/proc/$P/status" 2>/dev/null; } &&
    [ -f "$ROOT/carvelin2.db3" ]
}
for Allow in "" 1; do
  start env CARVELIN_ALLOW_CORE_DUMPS="$Allow" QT_QPA_PLATFORM=offscreen "${AS[@]}" "$PROGRAM"
  Owner=
  poll 10 program_opened_its_database || true
  running "$P" || fail "the program ended: $(tail -5 "$ROOT/program.log")"
  Owner=$(stat -c %u "/proc/$P/status")
  Core=$(awk '/^Max core file size/ {print $5}' "/proc/$P/limits")
  if [ -z "$Allow" ]; then
    [ "$Owner" = 0 ] || fail "the program is dumpable (its /proc files belong to $Owner)"
    [ "$Core" = 0 ] || fail "core size limit $Core"
  else
    [ "$Owner" = "$Own" ] || fail "CARVELIN_ALLOW_CORE_DUMPS=1 left the program not dumpable"
  fi
  stop "$P"
done
echo "local database and core dump checks passed"
