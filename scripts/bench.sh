#!/usr/bin/env bash
# Builds the benchmarks (Release) into build-bench/ and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVIK_BENCH=ON \
  -DQUORVIK_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" "$@"
done
echo "== idle (a minute)"
bench/idle.sh build-bench 60
echo "== kill (the session killed at random moments, 200 runs per mail path)"
python3 bench/kill_test.py build-bench 200
