#!/usr/bin/env bash
# Builds the program and starts it on its embedded default.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
cmake -S . -B build -G Ninja -DCARVELIN_TESTS=OFF -DCARVELIN_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/shell/carvelin2 ]; then
  exec build/shell/carvelin2 "$@"
fi
echo "The libraries are built; Carvelin2's main window is not written yet, so there is no program to start." >&2
exit 1
