#!/usr/bin/env bash
# Builds the program and starts it on its embedded default.
# Build folder: ${CARVELIN_BUILD_DIR:-build-run}, without tests or benchmarks;
# it is apart from the test build (build/), so neither command changes what
# the other builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
dir=${CARVELIN_BUILD_DIR:-build-run}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCARVELIN_TESTS=OFF -DCARVELIN_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
if [ -x "$dir/shell/carvelin2" ]; then
  exec "$dir/shell/carvelin2" "$@"
fi
echo "The libraries are built; Carvelin2's main window is not written yet, so there is no program to start." >&2
exit 1
