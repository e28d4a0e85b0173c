#!/usr/bin/env bash
# Installs what building and running need, builds the program alone (no tests,
# no benchmarks), and starts Klarion (the program `klarion`).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh : aucun écran disponible (DISPLAY n'est pas défini) ; Klarion a besoin d'une session graphique." >&2
  exit 1
fi
bash scripts/install-deps.sh run
bash scripts/build.sh -DKLARION_BUILD_TESTS=OFF -DKLARION_BUILD_BENCH=OFF
exec "${KLARION_BUILD_DIR:-build}/klarion"
