#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing,
# so that a second run costs one dpkg query.
#   install-deps.sh build   compiler, libraries, Qt
#   install-deps.sh test    build + the reference tools the tests compare with
#   install-deps.sh run     build + what the program needs at run time
set -euo pipefail

build=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-pdf-dev libssl-dev
       libsqlite3-dev zlib1g-dev libjpeg-dev libzip-dev libqrencode-dev
       libcpp-httplib-dev libp11-kit-dev libgtest-dev libgmock-dev libbenchmark-dev)
run=(qt6-image-formats-plugins libqt6sql6-sqlite qt6-translations-l10n fonts-dejavu-core)
peers=(softhsm2 opensc xmlsec1 libxml2-utils gnutls-bin nginx-light curl jq python3
       python3-lxml python3-websockets python3-stdnum opensaml-schemas xmltooling-schemas
       xvfb xauth x11-utils imagemagick poppler-utils zbar-tools zxing-cpp-tools dbus-x11
       sqlite3 faketime openssl coreutils python3-cryptography tinyproxy
       xdotool xdg-utils desktop-file-utils python3-dbus python3-gi
       dbus-daemon dbus-bin libglib2.0-bin
       clang libclang-rt-14-dev
       libpugixml-dev rapidjson-dev libcurl4-openssl-dev libxml2-dev)

wanted=("${build[@]}")
case "${1:-build}" in
  build) ;;
  run)  wanted+=("${run[@]}") ;;
  test) wanted+=("${run[@]}" "${peers[@]}") ;;
  *) echo "usage: $0 build|run|test" >&2; exit 2 ;;
esac

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
