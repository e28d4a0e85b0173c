#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/ (or $KLARION_FUZZ_BUILD_DIR) and
# runs the targets side by side, each for the given number of seconds (default 60):
#     scripts/fuzz.sh 60
# Exits non-zero when a target finds a crash; the reproducer is left in the
# build folder's fuzz/ directory.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET="${1:-60}"
BUILD_DIR="${KLARION_FUZZ_BUILD_DIR:-build-fuzz}"
TARGETS=(fuzz_http_parser fuzz_api_handlers fuzz_form_parsers fuzz_websocket_frames)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
# A crash report names file and line only through LLVM's symbolizer.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ]; then
  ASAN_SYMBOLIZER_PATH="$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)"
  if [ -z "$ASAN_SYMBOLIZER_PATH" ]; then
    echo "fuzz.sh: llvm-symbolizer is needed for file and line in crash reports (scripts/install-deps.sh installs it: llvm-14)" >&2
    exit 1
  fi
  export ASAN_SYMBOLIZER_PATH
fi

cmake -S . -B "$BUILD_DIR" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DKLARION_SANITIZE=address,undefined \
  -DKLARION_BUILD_FUZZERS=ON -DKLARION_BUILD_TESTS=ON -DKLARION_BUILD_BENCH=OFF >/dev/null
# The test helpers are configured (the handler target uses the fake LM
# Studio) but only the fuzz targets are built.
cmake --build "$BUILD_DIR" -j"${KLARION_JOBS:-4}" --target "${TARGETS[@]}"

# The targets run side by side (each on one core), each into its own log,
# printed in order once all have ended.
pids=()
for target in "${TARGETS[@]}"; do
  mkdir -p "$BUILD_DIR/fuzz/corpus/$target"
  (cd "$BUILD_DIR/fuzz" && exec "./$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=70000 \
      -print_final_stats=1 "corpus/$target" "$OLDPWD/fuzz/corpus/$target" >"$target.log" 2>&1) &
  pids+=($!)
done
status=0
for i in "${!TARGETS[@]}"; do
  target="${TARGETS[$i]}"
  result=ok
  wait "${pids[$i]}" || { result=FAILED; status=1; }
  echo "== $target: ${SECONDS_PER_TARGET}s, $result"
  cat "$BUILD_DIR/fuzz/$target.log"
done
exit $status
