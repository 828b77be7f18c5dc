#!/bin/bash
# A first demo run that fails half-way (here the card tool is missing) leaves
# no folder that the next run takes for a finished demo: that run says the
# demo is incomplete and makes it again, whole, with a token pkcs11-tool reads.
#
#   demo_env_half_made.sh SOURCE-FOLDER
set -uo pipefail
SOURCE=$(cd "$1" && pwd)
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
STATE=$ROOT/state/demo

# softhsm2-util "not installed": the first run stops after the PKI.
mkdir "$ROOT/bin"
printf '#!/bin/sh\necho "softhsm2-util: command not found" >&2\nexit 127\n' >"$ROOT/bin/softhsm2-util"
chmod +x "$ROOT/bin/softhsm2-util"
# (not in an "if": errexit would not hold in the subshell)
(set -e; PATH=$ROOT/bin:$PATH; . "$SOURCE/scripts/demo-env.sh"; demo_prepare "$STATE" "$ROOT") 2>"$ROOT/first.err"
[ $? != 0 ] || fail "the first run went through without the card tool"
[ ! -e "$STATE" ] || fail "the failed run left $STATE, which the next run would reuse"

(set -e; . "$SOURCE/scripts/demo-env.sh"; demo_prepare "$STATE" "$ROOT") 2>"$ROOT/second.err"
[ $? = 0 ] || fail "the second run failed: $(cat "$ROOT/second.err")"
grep -q "est incomplet : il est recréé" "$ROOT/second.err" || fail "the half-made demo was not told: $(cat "$ROOT/second.err")"
[ ! -e "$STATE.new" ] || fail "the half-made folder stayed: $(ls "$STATE.new")"
for F in carvelin2.ini pki/trust.pem token/softhsm2.conf; do
  [ -s "$STATE/$F" ] || fail "the remade demo has no $F"
done
grep -q "directories.tokendir = $STATE/token/tokens" "$STATE/token/softhsm2.conf" ||
  fail "the token configuration does not name the demo's folder: $(cat "$STATE/token/softhsm2.conf")"
SOFTHSM2_CONF=$STATE/token/softhsm2.conf pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so -L 2>/dev/null |
  grep -q "token initialized" || fail "the remade token is not readable"

# A complete demo is kept as it is.
Stamp=$(stat -c %Y "$STATE/pki/trust.pem")
(set -e; . "$SOURCE/scripts/demo-env.sh"; demo_prepare "$STATE" "$ROOT") 2>"$ROOT/third.err"
[ $? = 0 ] && [ ! -s "$ROOT/third.err" ] && [ "$(stat -c %Y "$STATE/pki/trust.pem")" = "$Stamp" ] || fail "a complete demo was remade"
echo "demo_env_half_made: passed"
