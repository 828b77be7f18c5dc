#!/usr/bin/env bash
# Builds the program and starts it on its demo: the service simulator in
# training mode, a CPS test card (SoftHSM2) and a Vitale card in the
# stand-in reader, all on this computer.
#
# Build folder: ${CARVELIN_BUILD_DIR:-build-run}, configured without tests or
# benchmarks when new; a folder already configured is built as it is (only
# the program and the reader library), never reconfigured, so this never
# changes what scripts/test.sh builds.
# Demo state: ${XDG_STATE_HOME:-$HOME/.local/state}/Carvelin2/demo, made on
# the first run and reused; CARVELIN_DEMO_RESET=1 makes it afresh.
# One demo at a time: a second run while one runs says so and exits 1.
# Arguments go to the program; its exit code is this script's.
set -euo pipefail
cd "$(dirname "$0")/.."
state=${XDG_STATE_HOME:-$HOME/.local/state}/Carvelin2/demo
mkdir -p "$(dirname "$state")"
# The lock is this process's alone (the simulator and the program do not
# inherit it, nor what they start, such as a browser): it goes when this
# script ends, however it ends.
exec 9>>"$state.lock"
if ! flock -n 9; then
  echo "La démonstration de Carvelin2 est déjà lancée (sa fenêtre est ouverte) : rien n'a été modifié." >&2
  exit 1
fi
bash scripts/install-deps.sh run
dir=${CARVELIN_BUILD_DIR:-build-run}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCARVELIN_TESTS=OFF -DCARVELIN_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target carvelin2 api_lec_stub

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Aucun écran graphique n'est disponible (DISPLAY n'est pas défini) : Carvelin2 ne peut pas s'afficher." >&2
  exit 1
fi

. scripts/demo-env.sh
if [ "${CARVELIN_DEMO_RESET:-}" = 1 ]; then rm -rf "$state"; fi
demo_prepare "$state" "$dir"
trap demo_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
demo_start

cat <<MSG
Carvelin2 — démonstration (environnement de formation simulé sur cet ordinateur)
  Carte CPS de test : code $DEMO_PIN
  Dossier de démonstration : saisir l'INS $DEMO_INS (Mme MARTIN-DURAND Zoé)
  Lire la carte Vitale : le lecteur simulé présente la carte de Mme MARTIN-DURAND et de sa fille
  Simulateur des services : https://127.0.0.1:$DEMO_NATIONAL_PORT (journal : $DEMO_LOG)
MSG

code=0
"$dir/shell/carvelin2" "$@" 9>&- || code=$?
exit "$code"
