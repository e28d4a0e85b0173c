#!/usr/bin/env bash
# Builds and runs the tests under the sanitizers, each in its own build folder:
#     scripts/sanitize.sh asan   whole suite, AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#     scripts/sanitize.sh tsan   concurrency and end-to-end tests, ThreadSanitizer (build-tsan/)
#     scripts/sanitize.sh        both
# Each run builds only the programs it runs: `asan` the target klarion_tests
# (every test program and the tools they start, the window's offscreen tests
# and the program `klarion` among them; Qt itself is not instrumented),
# `tsan` the target klarion_tsan_tests (the programs labelled "tsan" in
# tests/CMakeLists.txt), without the window.
# Sanitized code is built at -O1 with line tables only: reports keep their
# file and line, and the builds take far less time than -O2 -g.
# Any sanitizer report fails the run. KLARION_JOBS sets the build and test
# parallelism (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${KLARION_JOBS:-$(nproc)}"
WHICH="${1:-all}"

# A sanitizer report ends the program with a failure, and leaks count.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/scripts/lsan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}"

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

configure() {  # folder, sanitizers, window (ON/OFF)
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
    "${launcher[@]}" -DKLARION_SANITIZE="$2" \
    -DKLARION_BUILD_BENCH=OFF -DKLARION_BUILD_FUZZERS=OFF -DKLARION_BUILD_GUI="$3" >/dev/null
}

run() {  # folder, sanitizers, window, target, ctest arguments...
  local folder=$1 sanitizers=$2 window=$3 target=$4
  shift 4
  configure "$folder" "$sanitizers" "$window"
  cmake --build "$folder" -j"$JOBS" --target "$target"
  ctest --test-dir "$folder" --output-on-failure -j"$JOBS" --timeout 600 "$@"
}

run_asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: whole suite (build-asan/)"
  run build-asan address,undefined ON klarion_tests
}

run_tsan() {
  echo "== ThreadSanitizer: concurrency and end-to-end tests (build-tsan/)"
  run build-tsan thread OFF klarion_tsan_tests -L '^tsan$'
}

case "$WHICH" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: scripts/sanitize.sh [asan|tsan|all]" >&2; exit 2 ;;
esac
