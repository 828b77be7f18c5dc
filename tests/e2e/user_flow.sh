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

demo_environment
PORT=$(free_port)

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
wait_practitioner
Row=$(sqlite3 "$DB" 'SELECT IdNational, idStruct, RaisonSociale FROM Praticiens')
[ "$Row" = "810001234567|3987654321|Clinique des Lilas" ] || fail "the practitioner row is '$Row'"
[ "$(logged "\"service\": \"params\"")" != 0 ] || fail "no service parameters request after the login"
shot logged-in

SCENARIO=record
Queries=$(logged "FindDocuments")
type_into "$Main" "$DEMO_INS"
poll 10 logged_more FindDocuments "$Queries" || fail "no document query for the typed INS"
Row=$(sqlite3 "$DB" "SELECT Nom, INSN, Status FROM Patients WHERE INSN LIKE '$DEMO_INS%'")
[ "$Row" = "MARTIN-DURAND|${DEMO_INS}T|2" ] || fail "the patient row is '$Row'"
sleep 1  # the list is drawn
shot record

SCENARIO=document
Retrievals=$(logged RetrieveDocumentSet)
answer "$Main" Down
answer "$Main" Return
Viewer=$(window "^CR ou fiche de consultation") || fail "the first document did not open in the viewer"
[ "$(logged RetrieveDocumentSet)" != "$Retrievals" ] || fail "no retrieval for the opened document"
sleep 1
shot document-viewer
"$PYTHON" "$E2E_HERE/close_window.py" "$Viewer"

SCENARIO=rest-filing
API=http://127.0.0.1:$PORT
PDF=$E2E_HERE/../fixtures/cda-build/compte-rendu.pdf
New=$(curl -s -X PUT -F "Titre=Compte rendu de démonstration" -F "File=@$PDF;filename=cr.pdf" -F TypeDoc=11488-4 \
  -F Cadre=AMBULATOIRE -F Confidentialite=0 "$API/patients/$DEMO_INS/documents/pdf" |
  "$PYTHON" -c 'import json, sys; print(json.load(sys.stdin)["UniqueID"])') || fail "the PDF was not filed"
# Listed with its author (the card holder) and its category.
curl -s "$API/patients/current/documents" | "$PYTHON" -c '
import json, sys
filed = [d for d in json.load(sys.stdin) if d["UniqueID"] == sys.argv[1]]
sys.exit(0 if filed and "LEFÈVRE" in filed[0]["Auteur"] and filed[0]["Categorie"] else 1)' "$New" ||
  fail "the filed PDF is not in the window's list with its author and category"
sleep 1
shot record-with-filed-pdf

echo "user_flow: all steps passed"
