# The demo's environment: a test PKI, a CPS training card on SoftHSM2, the
# Vitale card of the stand-in reader, the service simulator and the settings
# file, all local. Sourced by scripts/run.sh and by the end-to-end tests:
#
#   . scripts/demo-env.sh
#   demo_prepare STATE BUILD   makes what STATE lacks (or all of it again when
#                              it is damaged); BUILD is the build folder that
#                              holds the stand-in reader library
#   demo_start                 starts the simulator, waits for it (at most
#                              DEMO_READY_SECONDS, 60 by default), exports
#                              SOFTHSM2_CONF, CARVELIN_INI, APILEC_STUB_XML;
#                              sets DEMO_SIM_PID, DEMO_NATIONAL_PORT,
#                              DEMO_PUBLIC_PORT, DEMO_CONTROL_PORT, DEMO_LOG
#   demo_stop                  stops the simulator that demo_start started
#
# STATE layout: pki/ (make-test-pki.sh), token/ (softhsm2.conf and tokens/),
# sim/ (simulator state: hosts.json, requests.jsonl), vitale.xml, carvelin2.db3,
# carvelin2.ini.

DEMO_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEMO_PIN=1234
DEMO_INS=284057511204537  # MARTIN-DURAND Zoé: access granted, documents of several kinds
DEMO_SOFTHSM=/usr/lib/softhsm/libsofthsm2.so

# True when STATE holds everything a login needs.
demo_complete() {
  local State=$1
  [ -f "$State/pki/trust.pem" ] && [ -f "$State/token/softhsm2.conf" ] &&
    [ -n "$(ls -A "$State/token/tokens" 2>/dev/null)" ] && [ -f "$State/carvelin2.ini" ]
}

demo_prepare() {
  local State Build
  State=$(realpath -m "$1")
  Build=$(cd "$2" && pwd)
  # What a run that failed half-way left (the scratch folder, or a state
  # folder that lacks a piece) is made again from nothing.
  local Scratch="$State.new"
  if [ -d "$Scratch" ] || { [ -d "$State" ] && ! demo_complete "$State"; }; then
    echo "L'environnement de démonstration de $State est incomplet : il est recréé." >&2
    rm -rf "$Scratch"
    demo_complete "$State" || rm -rf "$State"
  fi
  if [ ! -d "$State" ]; then
    mkdir -p "$Scratch/sim"
    echo "Création de l'environnement de démonstration (certificats de test, carte CPS de test)..." >&2
    bash "$DEMO_SOURCE/tests/tools/make-test-pki.sh" "$Scratch/pki" >/dev/null
    bash "$DEMO_SOURCE/tests/tools/make-cps-token.sh" \
      "$DEMO_SOURCE/tests/fixtures/cps/medecin-formation.json" "$Scratch/token" "$Scratch/pki" >/dev/null
    # The token's configuration names its folder: the final one, which the
    # whole folder then becomes in one step.
    /usr/bin/python3 - "$Scratch/token/softhsm2.conf" "$Scratch/" "$State/" <<'PY'
import sys
path, old, new = sys.argv[1:4]
with open(path, encoding="utf-8") as f:
    text = f.read()
with open(path, "w", encoding="utf-8") as f:
    f.write(text.replace(old, new))
PY
    mv "$Scratch" "$State"
  fi
  # The settings are written on every run: they name this build's reader
  # library and this state folder, whichever moved.
  local Ini="$State/carvelin2.ini"
  {
    echo "[BASE]"
    echo "CHEMIN=$State/carvelin2.db3"
    echo "[Services]"
    echo "Hosts=$State/sim/hosts.json"
    echo "CryptoLib=$DEMO_SOFTHSM"
    echo "ApiLecture=$Build/tests/tools/libapi_lec_stub.so.6.2.1.0"
  } >"$Ini.tmp"
  # Keep what the program itself stored in the file (window places, remembered choices).
  if [ -f "$Ini" ]; then
    /usr/bin/python3 - "$Ini" "$Ini.tmp" <<'PY'
import configparser, sys
old, new = configparser.RawConfigParser(), configparser.RawConfigParser()
old.optionxform = new.optionxform = str
old.read(sys.argv[1], encoding="utf-8")
new.read(sys.argv[2], encoding="utf-8")
for section in old.sections():
    if not new.has_section(section):
        new.add_section(section)
    for key, value in old.items(section):
        if not new.has_option(section, key):
            new.set(section, key, value)
with open(sys.argv[2], "w", encoding="utf-8") as f:
    new.write(f, space_around_delimiters=False)
PY
  fi
  mv "$Ini.tmp" "$Ini"
  DEMO_STATE=$State
}

demo_start() {
  local State=$DEMO_STATE Ready
  export SOFTHSM2_CONF="$State/token/softhsm2.conf"
  export CARVELIN_INI="$State/carvelin2.ini"
  export APILEC_STUB_XML="$State/vitale.xml"
  # The request log tells about this run only.
  rm -rf "$State/sim/requests" "$State/sim/requests.jsonl"
  local Fifo
  Fifo=$(mktemp -u "${TMPDIR:-/tmp}/carvelin-sim.XXXXXX")
  mkfifo "$Fifo"
  # Without run.sh's lock (descriptor 9), which is run.sh's alone.
  /usr/bin/python3 "$DEMO_SOURCE/tests/sim/simulator.py" --state "$State/sim" --pki "$State/pki" \
    >"$Fifo" 2>>"$State/sim/simulator.err" 9>&- &
  DEMO_SIM_PID=$!
  if ! read -r -t "${DEMO_READY_SECONDS:-60}" Ready <"$Fifo"; then
    rm -f "$Fifo"
    echo "Le simulateur des services n'a pas démarré (voir $State/sim/simulator.err)." >&2
    demo_stop
    return 1
  fi
  rm -f "$Fifo"
  # One field per line: ports, the log's path (any characters but a line
  # break) and the simulator's day.
  { read -r DEMO_NATIONAL_PORT; read -r DEMO_PUBLIC_PORT; read -r DEMO_CONTROL_PORT; read -r DEMO_LOG
    read -r DEMO_TODAY; } < <(/usr/bin/python3 -c '
import json, sys
r = json.loads(sys.argv[1])
print("%d\n%d\n%d\n%s\n%s" % (r["national"], r["public"], r["control"], r["log"], r["today"]))' "$Ready")
  /usr/bin/python3 "$DEMO_SOURCE/scripts/demo-card.py" "$APILEC_STUB_XML" --today "$DEMO_TODAY"
}

demo_stop() {
  if [ -n "${DEMO_SIM_PID:-}" ]; then
    kill "$DEMO_SIM_PID" 2>/dev/null || true
    wait "$DEMO_SIM_PID" 2>/dev/null || true
    DEMO_SIM_PID=
  fi
}
