#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing,
# so that a second run costs one dpkg query.
#   install-deps.sh build   compiler, libraries, Qt
#   install-deps.sh test    build + the reference tools the tests compare with
#   install-deps.sh run     build + what the program and its demo
#                           (scripts/run.sh) need at run time
#   install-deps.sh list LIST   prints the packages of LIST, one a line
set -euo pipefail

build=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-pdf-dev libssl-dev
       libsqlite3-dev zlib1g-dev libjpeg-dev libzip-dev libqrencode-dev
       libcpp-httplib-dev libp11-kit-dev libgtest-dev libgmock-dev libbenchmark-dev lld)
# The demo makes its test card and certificates (softhsm2, opensc, openssl),
# runs the service simulator (python3; xmllint and xmlsec1 check what it is
# sent) and the program opens links with xdg-open. Breeze's icons are SVG
# files, which Qt draws through its SVG plug-in.
run=(qt6-image-formats-plugins libqt6sql6-sqlite qt6-translations-l10n fonts-dejavu-core fonts-liberation2
     breeze-icon-theme libqt6svg6 softhsm2 libsofthsm2 opensc openssl python3 libxml2-utils xmlsec1
     xdg-utils)
peers=(gnutls-bin nginx-light curl jq python3-lxml python3-websockets python3-stdnum
       opensaml-schemas xmltooling-schemas xvfb xauth x11-utils imagemagick poppler-utils
       zbar-tools zxing-cpp-tools dbus-x11 sqlite3 faketime coreutils python3-cryptography
       tinyproxy xdotool desktop-file-utils python3-dbus python3-gi
       dbus-daemon dbus-bin libglib2.0-bin
       clang libclang-rt-14-dev
       libpugixml-dev rapidjson-dev libcurl4-openssl-dev libxml2-dev)

wanted=("${build[@]}")
list=
if [ "${1:-}" = list ]; then
  list=1
  shift
fi
case "${1:-build}" in
  build) ;;
  run)  wanted+=("${run[@]}") ;;
  test) wanted+=("${run[@]}" "${peers[@]}") ;;
  *) echo "usage: $0 [list] build|run|test" >&2; exit 2 ;;
esac
if [ -n "$list" ]; then
  printf '%s\n' "${wanted[@]}"
  exit 0
fi

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "Installing: ${missing[*]}"
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${missing[@]}"
