#!/bin/bash
# A doctor files a PDF with its metadata from the add-document form and
# records a vaccination note on the demo patient's record; then the
# practice's secretary, with a staff card that may not read the record's
# documents, files the same way and sees the documents filed from this
# workstation in the local documents frame. Each screen is opened from its
# button of the main window, its controls found as a screen reader finds
# them and used with the mouse and the keyboard.
#
#   documents_screens.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

ADD_FORM='^Ajouter un Document au DMP$'
VACCINATION_FORM='^Note de Vaccination$'
FILE_DIALOG='^(Ouvrir|Open)$'
FILINGS=ProvideAndRegisterDocumentSetRequest
# The file chosen in the file dialog, in the program's working folder.
PDF=$ROOT/compte-rendu-e2e.pdf
cp "$E2E_HERE/../fixtures/cda-build/compte-rendu.pdf" "$PDF"

gone() { ! visible_window "$1" >/dev/null; }
# Waits for the end of the program's job: a click meanwhile would be refused.
idle() { poll 20 locate "Prêt" "status bar" >/dev/null || fail "the program stayed busy"; }

# The unique identifier of the last local row titled $1 (any characters).
local_row() {
  "$PYTHON" -c '
import sqlite3, sys
row = sqlite3.connect(sys.argv[1]).execute(
    "SELECT uniqueId FROM Documents WHERE titre = ? ORDER BY rowid DESC", (sys.argv[2],)).fetchone()
print(row[0] if row else "")' "$DB" "$1"
}

# Opens the demo patient's record from the INS box.
open_record() {
  type_into "$Main" "$DEMO_INS"
  poll 20 locate "Ajouter un document" >/dev/null || fail "the record's buttons did not show"
  idle
}

# Files $PDF from the add-document form with the title $1, the comment $2,
# the third type of the list and today's date ticked; the new document's
# unique identifier in NEW.
file_pdf() {
  local Form Filings Dialog
  press "Ajouter un document"
  Form=$(window "$ADD_FORM") || fail "the add-document form did not open"
  press "Titre du document" text
  focused "$Form" type --delay 20 "$1"
  press "Texte libre / Commentaire" text
  focused "$Form" type --delay 20 "$2"
  # Out of the free text, the type: two rows down from the first.
  answer "$Form" Tab
  answer "$Form" Down
  answer "$Form" Down
  # The tick box at the date's left.
  press "Date du document" filler 1 "" 8
  press "..."
  Dialog=$(window "$FILE_DIALOG") || fail "no file dialog"
  focused "$Dialog" type --delay 20 "$PDF"
  answer "$Dialog" Return
  poll 10 gone "$FILE_DIALOG" || { answer "$Dialog" Return; poll 10 gone "$FILE_DIALOG"; } ||
    fail "the file dialog did not take the typed path"
  shot "$SCENARIO-form"
  Filings=$(logged "$FILINGS")
  press OK
  poll 30 logged_more "$FILINGS" "$Filings" || fail "no filing after OK"
  poll 20 gone "$ADD_FORM" || fail "the add-document form stayed open after the filing"
  idle
  NEW=$(local_row "$1")
  [ -n "$NEW" ] || fail "no local row for the filed PDF"
}

# Records a vaccination note of REPEVAX with the batch $1; the new
# document's unique identifier in NEW.
record_vaccination() {
  local Form Filings
  press Vaccination
  Form=$(window "$VACCINATION_FORM") || fail "the vaccination form did not open"
  press "Rechercher un vaccin" text
  focused "$Form" type --delay 20 REPEVAX
  press Vaccin filler 1 8
  press "N° de lot" text
  focused "$Form" type --delay 20 "$1"
  shot "$SCENARIO-form"
  Filings=$(logged "$FILINGS")
  press OK
  poll 30 logged_more "$FILINGS" "$Filings" || fail "no filing after OK"
  poll 20 gone "$VACCINATION_FORM" || fail "the vaccination form stayed open after the filing"
  idle
  NEW=$("$PYTHON" -c '
import json, sqlite3, sys
for title, unique_id in sqlite3.connect(sys.argv[1]).execute(
        "SELECT titre, uniqueId FROM Documents WHERE TypeDoc = ? ORDER BY rowid DESC", ("87273-9",)):
    if json.loads(title).get("Lot") == sys.argv[2]:
        print(unique_id)
        break' "$DB" "$1")
  [ -n "$NEW" ] || fail "no local row for the vaccination note"
}

# Today at midnight, local time, as the registry's UTC creation time.
Created=$("$PYTHON" -c '
import datetime
day = datetime.datetime.combine(datetime.date.today(), datetime.time())
print(day.astimezone(datetime.timezone.utc).strftime("%Y%m%d%H%M%S"))')

start "$BUILD/shell/carvelin2" /cps
Program=$P
Main=$(window "$MAIN_WINDOW") || fail "no main window"
login_dialogs
open_record
shot record

SCENARIO=add-document
Title='Compte rendu "e2e" & suivi'
file_pdf "$Title" "Relu avec le patient"
"$PYTHON" "$E2E_HERE/filed.py" "$DEMO_LOG" "$NEW" --pdf "$PDF" --title "$Title" --type 60591-5 \
  --comment "Relu avec le patient" --created "$Created" || fail "the filing is not the PDF with its metadata"

SCENARIO=vaccination
record_vaccination "LOT-E2E-1"
"$PYTHON" "$E2E_HERE/filed.py" "$DEMO_LOG" "$NEW" --vaccine 60239871 --lot "LOT-E2E-1" ||
  fail "the filing is not the vaccination note"
close_windows "$Program"

SCENARIO=local-documents
# The secretary's card, alone in a token store of its own.
bash "$E2E_HERE/../tools/make-cps-token.sh" "$E2E_HERE/../fixtures/cps/secretariat-formation.json" \
  "$ROOT/staff" "$ROOT/demo/pki" >/dev/null
export SOFTHSM2_CONF=$ROOT/staff/softhsm2.conf
STAFF="SELECT rowid FROM Praticiens WHERE IdNational LIKE '%310003456789'"
staff_stored() { [ -n "$(sqlite3 "$DB" "$STAFF")" ]; }
start "$BUILD/shell/carvelin2" /cps
Program=$P
Main=$(window "$MAIN_WINDOW") || fail "no main window for the secretary"
Pin=$(window "$PIN_DIALOG") || fail "no PIN dialog for the secretary"
type_into "$Pin" "$DEMO_PIN"
# Its one activity.
Activity=$(window "$ACTIVITY_DIALOG") || fail "no activity dialog for the secretary"
answer "$Activity" Return
poll 10 staff_stored || fail "no practitioner row for the secretary"
open_record
List="Documents déposés depuis ce poste"
poll 10 locate "$List" >/dev/null || fail "no local documents for a card that may not read the record's documents"
shot "$SCENARIO-empty"

SCENARIO=staff-add-document
Title="Courrier d'adressage"
file_pdf "$Title" "Transmis par le secrétariat"
"$PYTHON" "$E2E_HERE/filed.py" "$DEMO_LOG" "$NEW" --pdf "$PDF" --title "$Title" --type 60591-5 ||
  fail "the secretary's filing is not the PDF with its metadata"

SCENARIO=staff-vaccination
record_vaccination "LOT-E2E-2"

SCENARIO=local-documents
# Only this card's two rows, drawn in the list.
Rows=$(sqlite3 "$DB" "SELECT count(*) FROM Documents WHERE Praticien = ($STAFF)")
[ "$Rows" = 2 ] || fail "the secretary has $Rows local rows, not 2"
drawn_rows() {
  local X Y W H
  read -r X Y W H <<<"$(locate "$List")" || return 1
  # Inside the list's frame, the dark text of one row is one line high, of
  # two rows more than a row high.
  [ "$(import -window root png:- | convert png:- -crop "$((W - 4))x$((H - 4))+$((X + 2))+$((Y + 2))" +repage \
    -threshold 50% -trim -format %h info:)" -gt 30 ]
}
poll 10 drawn_rows || fail "the local documents list shows no rows"
shot "$SCENARIO"
close_windows "$Program"

echo "documents_screens: all steps passed"
