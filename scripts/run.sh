#!/usr/bin/env bash
# Sets up the machine (what the program needs, not the test tools), builds, and runs the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh run
scripts/build.sh -DQUORVIK_TESTS=OFF
exec build/quorvik "$@"
