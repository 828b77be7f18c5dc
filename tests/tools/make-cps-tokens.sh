#!/usr/bin/env bash
# make-cps-tokens.sh OUT-DIR PKI-DIR
#
# One SoftHSM2 store per profile of tests/fixtures/cps/, made with
# make-cps-token.sh: OUT-DIR/<profile>/softhsm2.conf, tokens/ and cards/.
# The tests copy a store before using it (tests/support/CpsToken.h). Does
# nothing when OUT-DIR is already made: the set is built in a scratch folder
# beside it and renamed into place, so OUT-DIR holds all of it or nothing.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: make-cps-tokens.sh OUT-DIR PKI-DIR" >&2
  exit 2
fi
out=${1%/}
pki=$2
here=$(dirname "$(realpath "$0")")
[ -d "$out" ] && exit 0

mkdir -p "$(dirname "$out")"
work=$(realpath "$(mktemp -d "$out.tmp.XXXXXX")")
trap 'rm -rf "$work"' EXIT
for profile in "$here"/../fixtures/cps/*.json; do
  bash "$here/make-cps-token.sh" "$profile" "$work/$(basename "$profile" .json)" "$pki"
done
# Each configuration names its store by its final place.
sed -i "s|$work|$(realpath -m "$out")|" "$work"/*/softhsm2.conf
# Another run may have finished first: its set is as good as this one.
mv -T "$work" "$out" 2>/dev/null || [ -d "$out" ]
