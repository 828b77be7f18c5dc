#!/bin/bash
# A professional without the patient's Vitale card finds the record on the
# demo: by identity traits in the patient search, in the list of records,
# and through the identity teleservice with the identity check. Each screen
# is opened from its button of the main window, found as a screen reader
# finds it and clicked with the mouse.
#
#   search_screens.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment

export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# Double-clicks the first row of the list named $1.
open_first_row() { press "$1" filler 2 8; }

# Waits for a document query after Queries, then for the patient's row.
record_opened() {
  poll 20 logged_more FindDocuments "$Queries" || fail "no document query: the record did not open"
}

start "$BUILD/shell/carvelin2" /cps
Program=$P
Main=$(window "$MAIN_WINDOW") || fail "no main window"
login_dialogs
shot logged-in

SCENARIO=patient-search
press "Rechercher un patient"
poll 10 locate "Patients trouvés" filler >/dev/null || fail "the patient search did not open"
Searches=$(logged PRPA_IN201305UV02)
# The first edit has the focus: the name, then Enter searches. (xdotool
# types an accented letter through a remapped key, which a busy machine
# can lose: ASCII only.)
type_into "$Main" "MARTIN-DURAND"
poll 10 logged_more PRPA_IN201305UV02 "$Searches" || fail "no patient search request"
sleep 1  # the rows are drawn
shot patient-search
Queries=$(logged FindDocuments)
open_first_row "Patients trouvés"
record_opened
sleep 1
shot patient-search-record

SCENARIO=record-list
press "Rechercher un dossier"
poll 10 locate "Dossiers trouvés" filler >/dev/null || fail "the record list did not open"
Searches=$(logged patientList)
# The date has the focus: the records authorised since the seed's first days.
answer "$Main" ctrl+a
type_into "$Main" "01/01/2024"
poll 10 logged_more patientList "$Searches" || fail "no record list request"
sleep 2
shot record-list
Queries=$(logged FindDocuments)
open_first_row "Dossiers trouvés"
record_opened
sleep 1
shot record-list-record

SCENARIO=ins-search
# Born in L'Haÿ-les-Roses, her twin of the same traits elsewhere: the
# birthplace tells them apart. Her birth date as the seed gives it today.
Birth=$(PYTHONPATH=$E2E_HERE/../sim "$PYTHON" -c '
import datetime, sys
from simkit.seed import Seed
seed = Seed(sys.argv[1], datetime.date.fromisoformat(sys.argv[2]))
[p] = [p for p in seed.patients if p["key"] == "santoni_lhay"]
print(seed.french_date(p["birth"]))' "$E2E_HERE/../sim/seed/seed.json" "$DEMO_TODAY")
press "Rechercher sans carte vitale"
Dialog=$(window "^Recherche d'un patient sans INS$") || fail "no INS search dialog"
focused "$Dialog" type --delay 20 "Santoni"
answer "$Dialog" Tab
focused "$Dialog" type --delay 20 "Marie-Ange"
answer "$Dialog" Tab
focused "$Dialog" type --delay 20 "$Birth"
answer "$Dialog" Tab
answer "$Dialog" Down  # Féminin
answer "$Dialog" Tab
focused "$Dialog" type --delay 20 "L'Hay"
poll 10 locate "94240 L'Haÿ-les-Roses (94038)" "list item" >/dev/null || fail "no commune list for the birthplace"
shot ins-search
answer "$Dialog" Down
answer "$Dialog" Return
answer "$Dialog" Return
Check=$(window "^Validation de l'identité numérique$") || fail "no identity check dialog"
shot identity-check
press "Carte d'identité du patient" "radio button"
Queries=$(logged FindDocuments)
press "Je confirme le contrôle d'identité du patient"
Box=$(window "$QUESTION") || fail "no question to open the record"
shot open-record-question
answer "$Box" Return
record_opened
Status=$(sqlite3 "$DB" "SELECT INSiStatus FROM Patients WHERE Nom = 'SANTONI'")
[ "$Status" = 4 ] || fail "the identity check of the patient row is '$Status'"
sleep 1
shot ins-search-record

echo "search_screens: all steps passed"
