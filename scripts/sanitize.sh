#!/usr/bin/env bash
# Builds with clang's sanitizers and runs the tests that matter to them: the unit tests (label
# `unit`) with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/, and the watch
# session's tests with ThreadSanitizer in build-tsan/.
# Usage: scripts/sanitize.sh [asan] [tsan]   (both by default)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh sanitize
kinds=("$@")
[ "${#kinds[@]}" -gt 0 ] || kinds=(asan tsan)
here="$(pwd)"
for kind in "${kinds[@]}"; do
  case "$kind" in
    asan)
      CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DQUORVIK_SANITIZE=address >/dev/null
      cmake --build build-asan -j "$(nproc)"
      # Leaks of the libraries the forms load (fonts, the platform plug-in) are theirs.
      ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
      LSAN_OPTIONS="suppressions=$here/tests/support/lsan.supp:print_suppressions=0" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ctest --test-dir build-asan -L unit --output-on-failure -j "$(nproc)"
      ;;
    tsan)
      CC=clang CXX=clang++ cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQUORVIK_SANITIZE=thread >/dev/null
      cmake --build build-tsan -j "$(nproc)" --target quorvik_session_tests
      TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build-tsan/tests/quorvik_session_tests
      ;;
    *) echo "usage: $0 [asan] [tsan]" >&2; exit 2 ;;
  esac
done
