#!/usr/bin/env bash
# Builds everything and runs every test, as CI does:
#   1. the whole program with warnings as errors: every test (unit, peer, ui, e2e)
#      and a short smoke run of each benchmark;
#   2. the layers without windows under AddressSanitizer and
#      UndefinedBehaviorSanitizer: the unit and peer tests;
#   3. the libFuzzer targets (clang), each for a few seconds on its corpus.
# Build folders: build/, build-asan/, build-fuzz/ (kept, so a second run is fast).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test

jobs=$(nproc)
fuzz_seconds=${CARVELIN_FUZZ_SECONDS:-5}

# Every option a build relies on is given each time, so a folder configured
# otherwise before (by hand or by another script) is put back in shape.
configure() {  # folder, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCARVELIN_WERROR=ON "$@" >/dev/null
}

echo "== build (all layers)"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARVELIN_WITH_QT=ON -DCARVELIN_TESTS=ON \
  -DCARVELIN_BENCH=ON -DCARVELIN_FUZZ=OFF -DCARVELIN_SANITIZE=OFF
cmake --build build -j "$jobs"
echo "== tests (all layers)"
rm -rf build/e2e/screenshots
ctest --test-dir build -j "$jobs" --output-on-failure --no-tests=error
echo "Screenshots of the end-to-end runs: $PWD/build/e2e/screenshots/"

if compgen -G "build/bench/bench_*" >/dev/null; then
  echo "== benchmarks (smoke run)"
  for b in build/bench/bench_*; do
    "$b" --benchmark_min_time=0.01 >/dev/null
  done
fi

echo "== build (sanitizers, layers without windows)"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DCARVELIN_SANITIZE=ON -DCARVELIN_WITH_QT=OFF \
  -DCARVELIN_TESTS=ON -DCARVELIN_BENCH=OFF -DCARVELIN_FUZZ=OFF
cmake --build build-asan -j "$jobs"
echo "== tests under sanitizers (unit, peer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" -L 'unit|peer' --output-on-failure --no-tests=error

echo "== fuzz targets (${fuzz_seconds}s each)"
CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARVELIN_FUZZ=ON \
  -DCARVELIN_WITH_QT=OFF -DCARVELIN_TESTS=OFF -DCARVELIN_BENCH=OFF -DCARVELIN_SANITIZE=OFF
cmake --build build-fuzz -j "$jobs"
for f in build-fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name"
  "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=0 "$work" 2>"$work.log" \
    || { tail -n 60 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
echo "All builds and tests passed."
