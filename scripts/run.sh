#!/usr/bin/env bash
# Installs what building and running need, builds the program alone (no tests,
# no benchmarks), and starts Klarion (the program `klarion`). Without a
# graphical session (over SSH, say) it still installs and builds, then says in
# one line why the window cannot open, and exits with 1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
bash scripts/build.sh -DKLARION_BUILD_TESTS=OFF -DKLARION_BUILD_BENCH=OFF
PROGRAM="${KLARION_BUILD_DIR:-build}/klarion"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh : Klarion est construit ($PROGRAM), mais aucun écran n'est disponible (DISPLAY n'est pas défini) : lancez-le depuis une session graphique." >&2
  exit 1
fi
exec "$PROGRAM"
