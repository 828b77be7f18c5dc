#!/bin/bash
# A doctor works with the dialogs of a record on the demo: reads a
# patient's administrative panel and who has access to the record, opens a
# minor's record in normal mode, justifies the access to records without
# authorisation (the patient's consent, then an emergency with its motive)
# closes a record at the patient's request with a motive, and creates a
# patient's web access, whose letter goes to the desktop's opener. The record
# menu is used with the keyboard, the other controls found as a screen
# reader finds them and clicked with the mouse; what reached the service is
# read back from the simulator's log.
#
#   record_dialogs.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

PANEL='^Données administratives$'
PRACTITIONERS='^Liste des Praticiens ayant accès au dossier du patient\.$'
MINOR='^Accès au DMP de '
ACCESS='^Dostrana - Accès au DMP$'
CLOSING='^Fermeture du DMP$'
MINOR_INS=215033306311206    # PETIT Léa, ten years old, her mother as representative
CONSENT_INS=181036219304167  # LEFEBVRE Hugo: no authorisation
URGENT_INS=277049205010259   # DUPONT Marie: no authorisation
CLOSED_INS=277049205010160   # DUPONT Marie, her namesake: authorised
WEB_ACCESS='^Création d'"'"'un Accès Web$'
WEB_INS=288125935020866      # FAURE Élodie: authorised, no web access yet
WEB_MAIL=elodie.faure@exemple.fr
EMERGENCY_MOTIVE="Patient inconscient aux urgences"
CLOSING_MOTIVE="Le patient demande la fermeture de son dossier"
PURPOSE=urn:oasis:names:tc:xspa:1.0:subject:purposeofuse  # the assertion's access mode

gone() { ! visible_window "$1" >/dev/null; }
# Waits for the end of the program's job: a click meanwhile would be refused.
idle() { poll 20 locate "Prêt" "status bar" >/dev/null || fail "the program stayed busy"; }

# Opens the record of the INS $1 from the INS box.
open_record() {
  press "Recherche par INS" text
  answer "$Main" ctrl+a
  type_into "$Main" "$1"
}
# The status button, at the left of the synthesis button, both of one size:
# without an authorisation its state may have no name to find it by.
press_status() {
  local Where X Y W H
  Where=$(poll 10 locate "Dossier de synthèse" "push button") || fail "no record buttons"
  read -r X Y W H <<<"$Where"
  xdotool mousemove $((X - W / 2)) $((Y + H / 2)) click 1
}
record_shown() { poll 20 locate "Ajouter un document" >/dev/null || fail "the record's buttons did not show"; }

# The record menu, then the keys $@ in it (the menu has no accessible items).
record_menu() {
  idle
  press Options
  local Key
  for Key in "$@"; do
    sleep 0.2  # the menu takes the keyboard once drawn; a key before is lost
    xdotool key --clearmodifiers "$Key"
  done
}

# The requests to the national service in the simulator's log after the
# sequence $1 whose operation is $2 (any when empty), checked by the Python
# expression $3 over each one's request: `texts(NAME)` the texts of its
# elements of local name NAME, `vihf` the assertion's attributes by name
# (the text of the first value, or its "code"); false unless there is one
# and every one passes.
requests_pass() {
  "$PYTHON" -c '
import json, os, sys
import xml.etree.ElementTree as ET
SAML = "{urn:oasis:names:tc:SAML:2.0:assertion}"
log, since, operation, check = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
entries = [e for e in map(json.loads, open(log, encoding="utf-8"))
           if e["sequence"] > since and e.get("listener") == "national"
           and (e.get("operation") == operation or not operation)]
def passes(e):
    with open(os.path.join(os.path.dirname(log), e["request_file"]), "rb") as f:
        body = f.read()
    root, vihf = ET.fromstring(body), {}
    texts = lambda name: [n.text for n in root.iter() if n.tag.rpartition("}")[2] == name]
    for a in root.iter(SAML + "Attribute"):
        value = a.find(SAML + "AttributeValue")
        inner = list(value) if value is not None else []
        vihf[a.get("Name")] = inner[0].get("code") if inner else (value.text if value is not None else None)
    return eval(check, {"texts": texts, "vihf": vihf})
sys.exit(0 if entries and all(map(passes, entries)) else 1)' "$DEMO_LOG" "$@"
}
last_sequence() { "$PYTHON" -c 'import json, sys; print(max([0] + [json.loads(l)["sequence"] for l in open(sys.argv[1])]))' "$DEMO_LOG"; }

# A stand-in desktop opener, first on the program's PATH, says what the
# program asked to open.
OPENED=$ROOT/opened
mkdir -p "$ROOT/bin"
printf '#!/bin/sh\nprintf %%s "$1" >"%s"\n' "$OPENED" >"$ROOT/bin/xdg-open"
chmod +x "$ROOT/bin/xdg-open"
export PATH="$ROOT/bin:$PATH"

start "$BUILD/shell/carvelin2" /cps
Program=$P
Main=$(window "$MAIN_WINDOW") || fail "no main window"
login_dialogs

SCENARIO=panel
type_into "$Main" "$DEMO_INS"
record_shown
record_menu Down Return
Dialog=$(window "$PANEL") || fail "the administrative panel did not open"
poll 10 locate "1/ PATIENT" "page tab" >/dev/null || fail "the panel shows no patient tab"
shot panel
press "2/ REPRESENTANT LEGAL" "page tab"
shot panel-representative
press Fermer
poll 10 gone "$PANEL" || fail "the administrative panel stayed open"

SCENARIO=practitioners
Lists=$(logged listAuthorizationByPatient)
record_menu Down Down Down Return
poll 20 logged_more listAuthorizationByPatient "$Lists" || fail "no practitioners request"
Dialog=$(window "$PRACTITIONERS") || fail "the practitioners list did not open"
shot practitioners
press Fermer
poll 10 gone "$PRACTITIONERS" || fail "the practitioners list stayed open"

SCENARIO=minor
Queries=$(logged FindDocuments)
open_record "$MINOR_INS"
Dialog=$(window "$MINOR") || fail "no minor access dialog"
shot minor
press Continuer
poll 10 gone "$MINOR" || fail "the minor access dialog stayed open"
poll 20 logged_more FindDocuments "$Queries" || fail "no document query after the normal access to the minor's record"

SCENARIO=consent
open_record "$CONSENT_INS"
idle
press_status
Dialog=$(window "$ACCESS") || fail "no access dialog from the status button"
shot access
press "Le patient (ou son représentant légal) m'a autorisé à accéder à son DMP" "radio button"
Since=$(last_sequence)
press OK
poll 10 gone "$ACCESS" || fail "the access dialog stayed open after OK"
poll 20 requests_pass "$Since" setAuthorization "texts('action') == ['AJOUT']" || fail "no authorisation request after the consent"
record_shown
idle
shot consent-record

SCENARIO=emergency
open_record "$URGENT_INS"
idle
press_status
Dialog=$(window "$ACCESS") || fail "no access dialog from the status button"
press "J'accède en urgence au DMP. Le patient est hors d'état d'exprimer sa volonté, et il y a un risque immédiat pour sa santé (accès bris de glace)" "radio button"
press "Motif d'accès en mode bris de glace" text
focused "$Dialog" type --delay 20 "$EMERGENCY_MOTIVE"
shot emergency
Since=$(last_sequence)
press OK
poll 10 gone "$ACCESS" || fail "the access dialog stayed open after OK"
record_shown
idle
# The record's next requests carry the emergency and its motive.
poll 10 requests_pass "$Since" "" \
  "vihf.get('$PURPOSE') == 'bris_de_glace' and vihf.get('Mode_Acces_Raison') == '$EMERGENCY_MOTIVE'" ||
  fail "the requests after the emergency access do not carry it with its motive"
shot emergency-record

SCENARIO=closing
open_record "$CLOSED_INS"
record_shown
record_menu Up Return
Dialog=$(window "$CLOSING") || fail "the closing dialog did not open from the record menu"
press "Motif de fermeture" text
answer "$Dialog" ctrl+a
focused "$Dialog" type --delay 20 "$CLOSING_MOTIVE"
shot closing
Since=$(last_sequence)
press OK
poll 10 gone "$CLOSING" || fail "the closing dialog stayed open after OK"
poll 20 requests_pass "$Since" PRPA_IN201314UV02 "'$CLOSING_MOTIVE' in texts('text')" ||
  fail "no closing request with the motive"
idle
# Opened again, the record is closed for that motive.
open_record "$CLOSED_INS"
poll 20 locate "$CLOSING_MOTIVE" "push button" >/dev/null || fail "the record does not show as closed"
Box=$(window "$QUESTION") || fail "no message that the record is closed"
shot closed-record
answer "$Box" Return

SCENARIO=web-access
open_record "$WEB_INS"
record_shown
record_menu Down Down Return
Dialog=$(window "$WEB_ACCESS") || fail "the web access form did not open from the record menu"
press "Adresse électronique" text
focused "$Dialog" type --delay 20 "$WEB_MAIL"
shot web-access
press "Créer l'accès Internet"
poll 10 gone "$WEB_ACCESS" || fail "the web access form stayed open"
# The letter, saved privately in the working folder, handed to the desktop.
Letter=$(poll 20 cat "$OPENED") || fail "no letter handed to xdg-open"
case "$Letter" in
*/DMP_$WEB_INS.PDF) ;;
*) fail "xdg-open was asked to open '$Letter'" ;;
esac
Letter=${Letter#file://}
[ "$(stat -c %a "$Letter")" = 600 ] || fail "the letter is not private: $(stat -c %a "$Letter")"
pdftotext "$Letter" - | grep -q "^Identifiant " || fail "the letter names no login"
rm -f "$Letter"
idle

close_windows "$Program"
echo "record_dialogs: all steps passed"
