#!/bin/bash
# The practice's software drives the demo over the session bus, as a Python
# host (python3-dbus) on the same desktop: it registers, opens the demo
# patient's record (the login happens on the way), opens a document by its
# "dmp://" link, shows a message, deletes a document, and a second copy of
# the program started with a link hands it over and ends.
#
#   host_dbus.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment
Server=127.0.0.1:$DEMO_NATIONAL_PORT  # the training server of hosts.json
Doc2=1.2.250.1.213.1.1.1.1.999.2.1.2  # "Synthèse du dossier médical (DURAND)"
Doc8=1.2.250.1.213.1.1.1.1.999.2.1.8  # "Certificat médical (DURAND)"

start "$BUILD/shell/carvelin2"
Program=$P
Main=$(window "$MAIN_WINDOW") || fail "no main window"
Bus=org.talven.Carvelin2.p$Program

# The host: commands on its standard input, events on $ROOT/host.out.
mkfifo "$ROOT/host.in"
"$PYTHON" "$E2E_HERE/../shell/host_peer.py" --program "$Bus" <"$ROOT/host.in" >"$ROOT/host.out" 2>&1 &
PIDS+=("$!")
exec 7>"$ROOT/host.in"
send() { printf '{"code": %d, "text": %s}\n' "$1" "$("$PYTHON" -c 'import json, sys; print(json.dumps(sys.argv[1]))' "$2")" >&7; }
# True when the Python expression $1 over the host's events E holds.
host_saw() {
  "$PYTHON" - "$ROOT/host.out" "$1" <<'PY'
import json, sys
E = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.startswith("{")]
recv = lambda code: [e for e in E if e["event"] == "recv" and e["code"] == code]
answer = lambda code: [e["answer"] for e in E if e["event"] == "answer" and e["code"] == code]
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}
host_sees() { poll 20 host_saw "$1" || fail "the host never saw $1: $(cat "$ROOT/host.out")"; }
# The host's last answer to its command $1.
last_answer() {
  "$PYTHON" -c 'import json, sys
E = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.startswith("{")]
print([e["answer"] for e in E if e["event"] == "answer" and e["code"] == int(sys.argv[2], 0)][-1])' "$ROOT/host.out" "$1"
}

host_sees 'any(e["event"] == "ready" for e in E)'
SCENARIO=register
send 0xA001 ""
host_sees 'recv(0xA001) and recv(0xA001)[0]["text"] == "ADDED"'

SCENARIO=open-patient
send 0x2011 "$DEMO_INS"
host_sees 'answer(0x2011) == [-1]'  # no session yet: the card is read first
login_dialogs
host_sees 'recv(0x1001) and recv(0x1001)[-1]["payload"]["IdNational"] == "810001234567"'
host_sees 'recv(0x1011)'
host_sees 'any(e["payload"] and "'"$DEMO_INS"'" in json.dumps(e["payload"]) for e in recv(0x1002))'
shot record-opened-by-host

SCENARIO=url
send 0xA005 "dmp://$Server/$DEMO_INS/$Doc2"
Viewer=$(window "^Synth.+se du dossier") || fail "the linked document did not open"
shot linked-document
"$PYTHON" "$E2E_HERE/close_window.py" "$Viewer"

SCENARIO=message
send 0xA002 "Bonjour"
Box=$(window "$QUESTION") || fail "no message box"
shot host-message
answer "$Box" Return

SCENARIO=unknown-patient
Unknown=195016748203061  # a patient of the seed without a record
send 0x2011 "$Unknown"
Box=$(window "$QUESTION") || fail "no error shown for a patient without a record"
shot unknown-patient-error
send 0x2011 "$DEMO_INS"
host_sees 'answer(0x2011)[-1] == 0xA004'  # BUSY while the error is shown
answer "$Box" Return
send 0xA000 "PING"
host_sees 'answer(0xA000) == [0xA000]'
Queries=$(logged FindDocuments)
send 0x2011 "$DEMO_INS"
host_sees 'answer(0x2011)[-1] == 0xA003'  # SUBMIT once it is closed
poll 10 logged_more FindDocuments "$Queries" || fail "the record did not open again"

SCENARIO=delete
Updates=$(logged UpdateDocumentSet)
# BUSY while the record's job still runs: asked again.
Tries=0
deletion_answered() {
  Tries=$((Tries + 1))
  send 0xA008 "dmp://$Server/$DEMO_INS/$Doc8"
  host_sees "len(answer(0xA008)) == $Tries"
  [ "$(last_answer 0xA008)" != $((0xA004)) ]
}
poll 10 deletion_answered || true
[ "$(last_answer 0xA008)" = 0 ] || fail "the deletion answered $(last_answer 0xA008)"
host_sees 'any("'"$Doc8"'" in e["text"] for e in recv(0xA008))'
[ "$(logged UpdateDocumentSet)" != "$Updates" ] || fail "no metadata update for the deletion"

SCENARIO=second-copy
start "$BUILD/shell/carvelin2" "dmp://$Server/$DEMO_INS/$Doc2"
expect_exit_0 "$P" "the second copy after handing the link over"
window "^Synth.+se du dossier" >/dev/null || fail "the first copy did not open the handed-over link"

echo "host_dbus: all steps passed"
