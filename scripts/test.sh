#!/usr/bin/env bash
# Builds and runs every test under AddressSanitizer + UndefinedBehaviorSanitizer (a debug
# build), then builds the programs optimized (whose warnings the optimizer finds are errors
# too); with --all also runs the tests in the plain debug build that the demo uses, and the
# logic tests optimized. Then the threads' tests under ThreadSanitizer; the
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
  cmake --preset release -DKAVEL_E2E=OFF >/dev/null
  cmake --build --preset release -j "$jobs"
  ctest --preset release -j "$testjobs" -LE "gui|e2e"
fi

phase "sanitizer build (ASan+UBSan) and tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan -j "$testjobs"

phase "optimized build of the programs"
# At full optimization, whose warnings the optimizer finds are errors too, for the package
# below. The tests ran under the sanitizers above; built again optimized, they cost a minute
# (--all runs them).
cmake --preset release -DKAVEL_E2E=OFF >/dev/null
cmake --build --preset release -j "$jobs" --target kavel_installed

phase "ThreadSanitizer: the tests whose simulated line runs a thread of its own"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --preset tsan -j "$jobs"

phase "the Debian package: build, install, use, remove"
bash scripts/package.sh --check --tree build/release  # the release build above, built once

phase "fuzzing the image loader, the reply receiver and the network port's receiving path (${FUZZ_SECONDS:-10} s each)"
bash scripts/fuzz.sh
phase "all passed"
