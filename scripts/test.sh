#!/usr/bin/env bash
# Builds and runs every test under AddressSanitizer + UndefinedBehaviorSanitizer (a debug
# build), then the logic tests in an optimized build (whose warnings the optimizer finds are
# errors too; the end-to-end suites, labelled e2e, ran once already); with --all also in the
# plain debug build that the demo uses. Then the threads' tests under ThreadSanitizer; the
# Debian package made from the optimized build, checked to install, work and go away again;
# and the image loader, the controller's reply receiver and the network port's receiving path
# fuzzed for 10 s each. Each configuration is built once. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
# Most tests spend their time waiting on a line, a simulator or a server: twice as many run
# at once as there are cores (they wait on events and the virtual clock, not on margins, so
# they hold up on a loaded machine).
testjobs=$((2 * jobs))
start=$SECONDS
phase() { echo "== $1 (at $((SECONDS - start)) s)"; }

if [ "${1:-}" = "--all" ]; then
  phase "debug build and tests"
  cmake --preset debug >/dev/null
  cmake --build --preset debug -j "$jobs"
  ctest --preset debug -j "$testjobs"
fi

phase "sanitizer build (ASan+UBSan) and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j "$testjobs"

phase "optimized build and tests"
# The end-to-end suites ran under the sanitizers above: here they are neither built nor run.
cmake --preset release -DKAVEL_E2E=OFF >/dev/null
cmake --build --preset release -j "$jobs"
# The real-time checks on a virtual display have run in the sanitizer build already.
# The end-to-end suites ran under the sanitizers above; here the logic at full optimization.
ctest --preset release -j "$testjobs" -LE "gui|e2e"

phase "ThreadSanitizer: the tests whose simulated line runs a thread of its own"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs"

phase "the Debian package: build, install, use, remove"
bash scripts/package.sh --check --tree build/release  # the release build above, built once

phase "fuzzing the image loader, the reply receiver and the network port's receiving path (${FUZZ_SECONDS:-10} s each)"
bash scripts/fuzz.sh
phase "all passed"
