#!/usr/bin/env bash
# Installs what is needed, builds, and starts Klarion.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
echo "Build finished in ${KLARION_BUILD_DIR:-build}/."
