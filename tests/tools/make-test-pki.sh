#!/usr/bin/env bash
# make-test-pki.sh DIR [CRL_PORT]
#
# Makes the certificates every test, test tool, simulator and benchmark uses,
# with the openssl command only. Does nothing when DIR already holds the set
# that this version of the script makes (a stamp file tells); a set made by
# another version is removed and made again. The set is built in a scratch
# folder beside DIR and renamed into place, so DIR either holds all of it or
# does not exist, even when two runs race. To make it again with another
# CRL_PORT, remove DIR first.
#
# Every certificate is valid from 2024-01-01 to 2049-12-31 (expired.pem and
# not-yet-valid.pem excepted), has fixed subject names and a serial number of
# its own (one counter for all authorities, from
# 0xF1E2D3C4B5A69788796A5B4C3D2E01 up). Keys
# are RSA-2048 unless said otherwise; files are PEM unless said otherwise.
# Chain files hold the certificate and its intermediate (what a server sends),
# not the root. Nothing in the main set names a CRL distribution point.
#
#   root-ca.pem/.key          "Carvelin Test Root CA", self-signed
#   ca-personnes.pem/.key     "Carvelin Test CA Personnes" (cards and software
#                             client certificates), under the root
#   ca-serveurs.pem/.key      "Carvelin Test CA Serveurs", under the root
#   trust.pem                 root + both intermediates: the program's extra CA
#                             file, the servers' client-certificate authorities.
#                             Tools that read only the first certificate of a
#                             file take the authorities' own files instead.
#   server.pem/.key, server-chain.pem
#                             DNS:localhost, IP:127.0.0.1, serverAuth
#   server-ec.pem/.key, server-ec-chain.pem
#                             the same names on an ECDSA P-256 key
#   wrong-name.pem/.key, wrong-name-chain.pem   DNS:wrong-name.invalid
#   expired.pem/.key, expired-chain.pem         localhost, valid during 2020 only
#   not-yet-valid.pem/.key, not-yet-valid-chain.pem
#                             localhost, valid from 2049-01-01 only
#   self-signed.pem/.key      localhost, its own issuer
#   client.pem/.key, client-chain.pem
#                             "Docteur Jean Test" of "Cabinet Médical Test" (UTF-8),
#                             software client certificate (clientAuth;
#                             digitalSignature, nonRepudiation; a certificate policy)
#   rogue-ca.pem/.key         "Carvelin Test Rogue CA", self-signed on an ECDSA
#                             P-256 key (its certificates are ECDSA-signed), trusted
#                             by nobody
#   rogue-server.pem/.key, rogue-server-chain.pem   localhost, under the rogue CA
#   rogue-client.pem/.key     "Inconnu Test", client certificate under the rogue CA
#
#   revocation/               a chain whose certificates name CRL distribution
#                             points, under the test root (so trust.pem trusts it):
#     ca-revocation.pem/.key  "Carvelin Test CA Revocation", CRL point root-ca.crl
#     ca-revoked.pem/.key     "Carvelin Test CA Revoquee", CRL point root-ca.crl,
#                             revoked by the root
#     server.pem/.key, server-chain.pem
#                             under ca-revocation, CRL point ca-revocation.crl, not revoked
#     revoked-server.pem/.key, revoked-server-chain.pem
#                             under ca-revocation, revoked (keyCompromise)
#     revoked-ca-server.pem/.key, revoked-ca-server-chain.pem
#                             under the revoked intermediate, CRL point ca-revoked.crl
#     unreachable-server.pem/.key, unreachable-server-chain.pem
#                             under ca-revocation, CRL point on 127.0.0.1:1,
#                             where nothing can listen without privileges
#     crl/root-ca.crl, crl/ca-revocation.crl, crl/ca-revoked.crl
#                             the CRLs (DER), next update 2049-12-31
#     expired-ca-revocation.crl
#                             a CRL of ca-revocation out of date (2024 only)
#     crl-port                CRL_PORT, as written in the certificates
#   All servers are for DNS:localhost, IP:127.0.0.1. The distribution points
#   are http://127.0.0.1:CRL_PORT/<name>.crl: a test serves the folder crl/ on
#   127.0.0.1:CRL_PORT (default 28080; CTest passes a port derived from the
#   build folder, below the kernel's ephemeral range, so no free-port pick of
#   another test takes it). Tests that serve it must not run at the same time.
#
#   weak/                     servers a client must refuse for their strength,
#                             under ca-serveurs, for localhost and 127.0.0.1:
#     rsa1024.pem/.key, rsa1024-chain.pem   a 1024-bit RSA key
#     sha1.pem/.key, sha1-chain.pem         signed with SHA-1 by ca-serveurs
#
#   ca/                       the openssl ca state (databases, shared serial
#                             counter, configuration) for tools that issue
#                             more certificates from these authorities
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: make-test-pki.sh DIR [CRL_PORT]" >&2
  exit 2
fi
dir=$(realpath -m "$1")
crl_port=${2:-28080}
stamp=made-$(sha256sum <"${BASH_SOURCE[0]}" | cut -c1-16)
[ -f "$dir/$stamp" ] && exit 0
[ -f "$dir/trust.pem" ] && rm -rf "$dir"

mkdir -p "$(dirname "$dir")"
work=$(mktemp -d "$dir.tmp.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p ca revocation/crl weak

crl_base=http://127.0.0.1:$crl_port
start=20240101000000Z
end=20491231235959Z
echo F1E2D3C4B5A69788796A5B4C3D2E01 >ca/serial

# One configuration for every authority: its database is picked by CA_DB,
# the extensions of each certificate come from the environment.
cat >ca/ca.cnf <<'EOF'
[ca]
default_ca = test_ca

[test_ca]
database = $ENV::CA_DB/index.txt
crlnumber = $ENV::CA_DB/crlnumber
new_certs_dir = $ENV::CA_DB
serial = ca/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no

[policy_any]
commonName = supplied

[crl_ext]
authorityKeyIdentifier = keyid:always

[authority]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[authority_crl]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:$ENV::CDP

[server]
basicConstraints = critical, CA:false
keyUsage = critical, $ENV::KU
extendedKeyUsage = serverAuth
subjectAltName = $ENV::SAN
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always

[server_crl]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:$ENV::CDP

[client]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = clientAuth
certificatePolicies = 1.2.250.1.71.2.6.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF
export KU="digitalSignature, keyEncipherment" SAN="DNS:localhost, IP:127.0.0.1" CDP=""

# key NAME [SPEC]: a private key, SPEC rsa:BITS (default rsa:2048) or ec.
key() {
  local spec=${2:-rsa:2048}
  case $spec in
    ec) openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" ;;
    rsa:*) openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:${spec#rsa:}" -out "$1.key" ;;
  esac
}

# issue NAME ISSUER SUBJECT EXTENSIONS [openssl ca options]: NAME.pem signed
# by ISSUER (a NAME issued before, or "self"), on NAME.key.
issue() {
  local name=$1 issuer=$2 subject=$3 extensions=$4
  shift 4
  local db=ca/$(basename "$name")
  [ "$issuer" = self ] || db=ca/$(basename "$issuer")
  mkdir -p "$db"
  touch "$db/index.txt"
  [ -f "$db/crlnumber" ] || echo 01 >"$db/crlnumber"
  openssl req -new -utf8 -key "$name.key" -subj "$subject" -out "$work/request.csr"
  local signer=(-cert "$issuer.pem" -keyfile "$issuer.key")
  [ "$issuer" = self ] && signer=(-selfsign -keyfile "$name.key")
  CA_DB=$db openssl ca -config ca/ca.cnf -batch -notext -preserveDN -in "$work/request.csr" -out "$name.pem" \
    "${signer[@]}" -extensions "$extensions" -startdate "$start" -enddate "$end" "$@" 2>ca/last.log ||
    { cat ca/last.log >&2; exit 1; }
  rm "$work/request.csr"
}

# chain NAME ISSUER: NAME-chain.pem, the certificate then its issuer.
chain() { cat "$1.pem" "$2.pem" >"$1-chain.pem"; }

# revoke NAME ISSUER REASON
revoke() {
  CA_DB=ca/$(basename "$2") openssl ca -config ca/ca.cnf -revoke "$1.pem" -cert "$2.pem" -keyfile "$2.key" \
    -crl_reason "$3" 2>ca/last.log || { cat ca/last.log >&2; exit 1; }
}

# crl ISSUER [FILE [openssl ca options]]: the CRL of ISSUER in DER, by
# default revocation/crl/ISSUER.crl.
crl() {
  local issuer=$1 db=ca/$(basename "$1") out=${2:-revocation/crl/$(basename "$1").crl}
  shift $(($# < 2 ? $# : 2))
  CA_DB=$db openssl ca -config ca/ca.cnf -gencrl -cert "$issuer.pem" -keyfile "$issuer.key" -crlexts crl_ext \
    -crl_nextupdate "$end" "$@" -out "$db/crl.pem" 2>ca/last.log ||
    { cat ca/last.log >&2; exit 1; }
  openssl crl -in "$db/crl.pem" -outform DER -out "$out"
}

# server NAME ISSUER SUBJECT [key spec]: a server certificate and its chain.
server() {
  key "$1" "${4:-}"
  issue "$1" "$2" "$3" server
  chain "$1" "$2"
}

# The authorities.
key root-ca
issue root-ca self "/C=FR/O=Carvelin Test/CN=Carvelin Test Root CA" authority
key ca-personnes
issue ca-personnes root-ca "/C=FR/ST=Ile-de-France/O=Carvelin Test/OU=IGC Test/CN=Carvelin Test CA Personnes" authority
key ca-serveurs
issue ca-serveurs root-ca "/C=FR/O=Carvelin Test/OU=IGC Test/CN=Carvelin Test CA Serveurs" authority
cat root-ca.pem ca-personnes.pem ca-serveurs.pem >trust.pem

# The main set.
server server ca-serveurs "/C=FR/O=Carvelin Test/CN=localhost"
KU="digitalSignature" server server-ec ca-serveurs "/C=FR/O=Carvelin Test/OU=ECDSA/CN=localhost" ec
SAN="DNS:wrong-name.invalid" server wrong-name ca-serveurs "/C=FR/O=Carvelin Test/CN=wrong-name.invalid"
start=20200101000000Z end=20201231235959Z server expired ca-serveurs "/C=FR/O=Carvelin Test/OU=Expired/CN=localhost"
start=20490101000000Z server not-yet-valid ca-serveurs "/C=FR/O=Carvelin Test/OU=Not yet valid/CN=localhost"
key self-signed
issue self-signed self "/C=FR/O=Carvelin Test/OU=Self-signed/CN=localhost" server
key client
issue client ca-personnes "/C=FR/O=Cabinet Médical Test/GN=Jean/SN=Test/CN=Docteur Jean Test" client
chain client ca-personnes

key rogue-ca ec
issue rogue-ca self "/C=FR/O=Carvelin Rogue/CN=Carvelin Test Rogue CA" authority
server rogue-server rogue-ca "/C=FR/O=Carvelin Rogue/CN=localhost"
key rogue-client
issue rogue-client rogue-ca "/C=FR/O=Carvelin Rogue/CN=Inconnu Test" client

# The revocation set.
r=revocation
CDP=$crl_base/root-ca.crl
key $r/ca-revocation
issue $r/ca-revocation root-ca "/C=FR/O=Carvelin Test/OU=IGC Test/CN=Carvelin Test CA Revocation" authority_crl
key $r/ca-revoked
issue $r/ca-revoked root-ca "/C=FR/O=Carvelin Test/OU=IGC Test/CN=Carvelin Test CA Revoquee" authority_crl
# crl_server NAME ISSUER OU CDP
crl_server() {
  key "$r/$1"
  CDP=$4 issue "$r/$1" "$r/$2" "/C=FR/O=Carvelin Test/OU=$3/CN=localhost" server_crl
  chain "$r/$1" "$r/$2"
}
crl_server server ca-revocation "Revocation good" "$crl_base/ca-revocation.crl"
crl_server revoked-server ca-revocation "Revocation revoked" "$crl_base/ca-revocation.crl"
crl_server revoked-ca-server ca-revoked "Revocation revoked CA" "$crl_base/ca-revoked.crl"
crl_server unreachable-server ca-revocation "Revocation unreachable" "http://127.0.0.1:1/ca-revocation.crl"
revoke $r/ca-revoked root-ca cACompromise
revoke $r/revoked-server $r/ca-revocation keyCompromise
crl root-ca
crl $r/ca-revocation
crl $r/ca-revoked
end=20241231235959Z crl $r/ca-revocation $r/expired-ca-revocation.crl -crl_lastupdate "$start"
echo "$crl_port" >$r/crl-port

# The weak set. Creating these is allowed at any security level; only
# loading them for TLS is not.
server weak/rsa1024 ca-serveurs "/C=FR/O=Carvelin Test/OU=RSA 1024/CN=localhost" rsa:1024
key weak/sha1
issue weak/sha1 ca-serveurs "/C=FR/O=Carvelin Test/OU=SHA-1/CN=localhost" server -md sha1
chain weak/sha1 ca-serveurs

rm -f ca/last.log
chmod 600 ./*.key revocation/*.key weak/*.key
touch "$stamp"
cd /
# Another run may have finished first: its set is as good as this one.
mv -T "$work" "$dir" 2>/dev/null || [ -f "$dir/$stamp" ]
