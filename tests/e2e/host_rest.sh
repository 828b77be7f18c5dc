#!/bin/bash
# A host program drives the logged-in program through its loopback REST
# interface with curl: the card holder, the value lists, the demo patient's
# record and documents, one document's bytes, a PDF filed then deleted; a
# foreign web page is refused.
#
#   host_rest.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
. "$(dirname "$0")/common.bash"
e2e_enter "$0" "$@"

demo_environment
PORT=$(free_port)
API=http://127.0.0.1:$PORT
PDF=$E2E_HERE/../fixtures/cda-build/compte-rendu.pdf

start "$BUILD/shell/carvelin2" /cps --port "$PORT"
window "$MAIN_WINDOW" >/dev/null || fail "no main window"
login_dialogs

# GET (or another method with curl's arguments) of $1; the body on stdout,
# the status in $ROOT/status.
rest() {
  local Path=$1
  shift
  curl -s -o "$ROOT/body" -w '%{http_code}' "$@" "$API$Path" >"$ROOT/status"
  cat "$ROOT/body"
}
# Python's reading of the last JSON body: the expression $1 over v.
json() { "$PYTHON" -c "import json, sys; v = json.load(open(sys.argv[1], encoding='utf-8')); print($1)" "$ROOT/body"; }
expect_status() { [ "$(cat "$ROOT/status")" = "$1" ] || fail "$2: status $(cat "$ROOT/status"), $(cat "$ROOT/body")"; }

SCENARIO=identity
rest /identite >/dev/null
expect_status 200 "GET /identite"
[ "$(json "v['Porteur']['IdNational']")" = 810001234567 ] || fail "holder: $(cat "$ROOT/body")"

SCENARIO=lists
rest /categories >/dev/null
expect_status 200 "GET /categories"
[ "$(json 'len(v) > 20')" = True ] || fail "categories: $(cat "$ROOT/body")"
rest /cadres >/dev/null
expect_status 200 "GET /cadres"
[ "$(json 'len(v)')" = 8 ] || fail "care settings: $(cat "$ROOT/body")"

SCENARIO=record
rest "/patients/$DEMO_INS" >/dev/null
expect_status 200 "GET the record"
[ "$(json "v['Patient']['INSi']['Code']")" = "$DEMO_INS" ] || fail "record: $(cat "$ROOT/body")"
rest "/patients/$DEMO_INS/documents" >/dev/null
expect_status 200 "GET the documents"
UID_PDF=$(json "[d['UniqueID'] for d in v if d['Extension'] == 'PDF'][0]")
SCENARIO=document
curl -s -D "$ROOT/headers" -o "$ROOT/document" "$API/patients/$DEMO_INS/documents/$UID_PDF"
grep -qi '^Content-Type: application/pdf' "$ROOT/headers" || fail "document type: $(cat "$ROOT/headers")"
# The simulator's copy: the PDF inside the seed's CDA.
"$PYTHON" - "$E2E_HERE/../sim" "$UID_PDF" "$ROOT/document" <<'PY' || fail "the document's bytes differ from the simulator's copy"
import base64, datetime, os, re, sys
sys.path.insert(0, sys.argv[1])
from simkit.seed import Seed
seed = Seed(os.path.join(sys.argv[1], "seed", "seed.json"), datetime.date.today())
_, document = seed.document_by("unique_id", sys.argv[2])
body = re.search(rb'representation="B64"[^>]*>([^<]*)<', seed.document_bytes(document)).group(1)
with open(sys.argv[3], "rb") as f:
    sys.exit(0 if base64.b64decode(body) == f.read() else 1)
PY

SCENARIO=filing
rest "/patients/$DEMO_INS/documents/pdf" -X PUT -F "Titre=Compte rendu <test> & essai" -F "File=@$PDF;filename=cr.pdf" \
  -F TypeDoc=11488-4 -F Cadre=AMBULATOIRE -F Confidentialite=0 >/dev/null
expect_status 200 "PUT of a PDF"
NEW=$(json "v['UniqueID']")
"$PYTHON" "$E2E_HERE/filed.py" "$DEMO_LOG" "$NEW" --pdf "$PDF" || fail "the filing sent is not the PDF"
curl -s -o "$ROOT/filed" "$API/patients/$DEMO_INS/documents/$NEW"
cmp -s "$ROOT/filed" "$PDF" || fail "the filed document does not come back as it was sent"
rest "/patients/$DEMO_INS/documents/$NEW" -X DELETE -H "Content-Length: 0" >/dev/null
expect_status 200 "DELETE of the filed document"
[ "$(json "v['UniqueID'], v['status']")" = "$NEW Deleted" ] || fail "deletion: $(cat "$ROOT/body")"
grep -q '"UpdateDocumentSet"\|UpdateAvailabilityStatus' "$DEMO_LOG" || fail "no metadata update in the simulator's log"

SCENARIO=refusals
rest /identite -H "Origin: http://evil.example" >/dev/null
expect_status 403 "a foreign web page"
[ "$(json "v['err']")" = "Requête refusée" ] || fail "refusal: $(cat "$ROOT/body")"
rest /identite -H "Host: evil.example:$PORT" >/dev/null
expect_status 403 "a foreign host name"

echo "host_rest: all steps passed"
