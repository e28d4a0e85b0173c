#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the suite, then the
# suite under AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency
# and end-to-end tests under ThreadSanitizer, and each fuzz target for a
# bounded time (KLARION_FUZZ_SECONDS, default 20), and the browser tests
# (tests/web/: Node's test runner, playwright-core from the lock file, Debian's
# chromium). Any failure fails the run. KLARION_QUICK=1 runs the plain suite
# and the browser tests alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
bash scripts/build.sh -DKLARION_BUILD_TESTS=ON -DKLARION_BUILD_BENCH=ON
if [ "${KLARION_QUICK:-0}" != "1" ]; then
  bash scripts/sanitize.sh all
  bash scripts/fuzz.sh "${KLARION_FUZZ_SECONDS:-20}"
fi
echo "== plain build: whole suite (build/)"
ctest --test-dir "${KLARION_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" --timeout 300
echo "== browser tests (tests/web/)"
(cd tests/web && node engines-check.cjs &&
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund && node run.mjs)
