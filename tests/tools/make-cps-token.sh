#!/usr/bin/env bash
# make-cps-token.sh PROFILE.json TOKEN-DIR PKI-DIR
#
# Adds to the SoftHSM2 store of TOKEN-DIR one token shaped like a training
# CPS card, from a profile of tests/fixtures/cps/ (cps_card_objects.py reads
# it). Each call adds one token, so one store can hold two cards:
#   TOKEN-DIR/softhsm2.conf   written when absent: its own token folder
#                             TOKEN-DIR/tokens, file back end, errors only
#                             (point SOFTHSM2_CONF at it)
#   the token                 labelled after the profile's file name (or its
#                             "token_label"), user PIN "1234" unless the
#                             profile says otherwise; two RSA-2048 key pairs
#                             with their public certificates, issued by the
#                             PKI's "Carvelin Test CA Personnes":
#                               CKA_ID 01 "Certificat d'Authentification CPS" (clientAuth)
#                               CKA_ID 02 "Certificat de Signature CPS" (nonRepudiation)
#                             and the data objects CPS_ID_CARD, CPS_NAME_PS,
#                             CPS_INFO_PS (public), CPS_ACTIVITY_nn_PS and
#                             CPS_SIT_FACT (private)
#   TOKEN-DIR/cards/NAME/     what went on it: auth.pem, sign.pem, the keys,
#                             objects/*.der, objects.txt
# PKI-DIR is a folder made by make-test-pki.sh; it is only read (the
# certificates get random serial numbers from a private copy of the
# authority's database).
# The profile's subject names its attributes as openssl does (C, O, OU,
# title, SN, GN, CN).
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: make-cps-token.sh PROFILE.json TOKEN-DIR PKI-DIR" >&2
  exit 2
fi
profile=$(realpath "$1")
mkdir -p "$2/tokens"
tokens=$(realpath "$2")
pki=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
module=/usr/lib/softhsm/libsofthsm2.so

export SOFTHSM2_CONF=$tokens/softhsm2.conf
[ -f "$SOFTHSM2_CONF" ] || printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$tokens" >"$SOFTHSM2_CONF"

card=$tokens/cards/$(basename "$profile" .json)
rm -rf "$card"
mkdir -p "$card"
/usr/bin/python3 "$here/cps_card_objects.py" "$profile" "$card"
# shellcheck source=/dev/null
. "$card/settings.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/db"
touch "$work/db/index.txt"
openssl rand -hex 16 >"$work/db/serial"
cat >"$work/ca.cnf" <<CNF
[req]
distinguished_name = dn
string_mask = $string_mask
utf8 = yes
[dn]
[ca]
default_ca = card_ca
[card_ca]
database = $work/db/index.txt
new_certs_dir = $work/db
serial = $work/db/serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
[policy_any]
commonName = supplied
[auth]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[sign]
basicConstraints = critical, CA:false
keyUsage = critical, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
CNF

p11() { pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" "$@" >/dev/null; }

softhsm2-util --init-token --free --label "$label" --so-pin "$so_pin" --pin "$pin" >/dev/null
for kind in auth:01:"Certificat d'Authentification CPS" sign:02:"Certificat de Signature CPS"; do
  name=${kind%%:*} rest=${kind#*:}
  id=${rest%%:*} cert_label=${rest#*:}
  openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$card/$name.key"
  openssl req -new -config "$work/ca.cnf" -key "$card/$name.key" -subj "$subject" -out "$work/$name.csr"
  openssl ca -config "$work/ca.cnf" -batch -notext -preserveDN -in "$work/$name.csr" \
    -out "$card/$name.pem" -cert "$pki/ca-personnes.pem" -keyfile "$pki/ca-personnes.key" \
    -extensions "$name" -startdate "$cert_start" -enddate "$cert_end" 2>"$work/ca.log" ||
    { cat "$work/ca.log" >&2; exit 1; }
  softhsm2-util --import "$card/$name.key" --token "$label" --label "$cert_label" --id "$id" --pin "$pin" >/dev/null
  openssl x509 -in "$card/$name.pem" -outform DER -out "$work/$name.der"
  p11 --write-object "$work/$name.der" --type cert --id "$id" --label "$cert_label"
done

while read -r visibility object; do
  private=()
  [ "$visibility" = private ] && private=(--private)
  p11 --write-object "$card/objects/$object.der" --type data --label "$object" "${private[@]}"
done <"$card/objects.txt"
