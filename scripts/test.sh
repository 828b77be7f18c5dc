#!/usr/bin/env bash
# Builds everything and runs every test, as CI does:
#   1. the whole program with warnings as errors: every test (unit, peer, ui, e2e)
#      and a short smoke run of each benchmark;
#   2. the layers without windows under AddressSanitizer and
#      UndefinedBehaviorSanitizer (clang): the unit and peer tests, then each
#      libFuzzer target for a few seconds on its corpus.
# Build folders: build/, build-san/ (kept, so a second run is fast).
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
# Line tables only: a crash still gives a backtrace with files and lines,
# and compiling and linking take much less time than with full debug data.
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARVELIN_WITH_QT=ON -DCARVELIN_TESTS=ON \
  -DCARVELIN_BENCH=ON -DCARVELIN_FUZZ=OFF -DCARVELIN_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
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

echo "== build (sanitizers and fuzz targets, layers without windows)"
CC=clang CXX=clang++ configure build-san -DCMAKE_BUILD_TYPE=Debug -DCARVELIN_SANITIZE=ON -DCARVELIN_FUZZ=ON \
  -DCARVELIN_WITH_QT=OFF -DCARVELIN_TESTS=ON -DCARVELIN_BENCH=OFF
cmake --build build-san -j "$jobs"
echo "== tests under sanitizers (unit, peer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san -j "$jobs" -L 'unit|peer' --output-on-failure --no-tests=error

echo "== fuzz targets (${fuzz_seconds}s each)"
# Each target runs on a copy of its seed corpus, one a core; a failing one
# prints the end of its log.
fuzz_one() {  # fuzz target
  local f=$1 name corpus work
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name"
  "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -print_final_stats=0 "$work" 2>"$work.log" \
    || { echo "FAILED: $name"; tail -n 60 "$work.log"; return 1; }
  rm -rf "$work" "$work.log"
}
export -f fuzz_one
export fuzz_seconds
find build-san/fuzz -maxdepth 1 -name 'fuzz_*' -type f -executable -print0 | sort -z \
  | xargs -0 -n 1 -P "$jobs" bash -c 'fuzz_one "$1"' _
echo "All builds and tests passed."
