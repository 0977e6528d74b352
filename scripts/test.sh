#!/usr/bin/env bash
# Sets up the machine, builds, and runs the whole test suite (`ctest -LE peer` in build/ skips
# the tests that talk to real peers).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
scripts/build.sh -DQUORVIK_TESTS=ON
ctest --test-dir build --output-on-failure -j "$(nproc)"
