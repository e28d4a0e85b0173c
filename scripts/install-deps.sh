#!/usr/bin/env bash
# Installs the Debian 12 packages Klarion needs, without questions:
#     scripts/install-deps.sh run    what building and running `klarion` need
#     scripts/install-deps.sh test   that, and what the tests need (the default)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SET="${1:-test}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Building and running: compiler, CMake, the libraries, Qt and its French translations,
# KaTeX and its fonts (joined into the student page's script and copied beside it at build time).
RUN_PKGS=(build-essential cmake pkg-config
          libcurl4-openssl-dev nlohmann-json3-dev libicu-dev
          libqrencode-dev qt6-base-dev qt6-translations-l10n libjs-katex fonts-katex)
# The tests: GoogleTest, clang for the fuzzers and sanitizers with LLVM's
# symbolizer (file and line in their reports), the browser, the display and
# picture tools of the window tests, the WebSocket peer.
TEST_PKGS=(git libgtest-dev libgmock-dev googletest
           clang libclang-rt-14-dev llvm-14
           curl procps iproute2
           chromium fonts-dejavu-core fonts-noto-color-emoji
           xvfb xauth xdotool zbar-tools imagemagick
           node-ws)

case "$SET" in
  run) PKGS=("${RUN_PKGS[@]}") ;;
  test)
    PKGS=("${RUN_PKGS[@]}" "${TEST_PKGS[@]}")
    # The browser tests need Node.js and npm; a Node.js from elsewhere (with its own npm) is kept.
    command -v node >/dev/null || PKGS+=(nodejs)
    command -v npm >/dev/null || PKGS+=(npm)
    ;;
  *) echo "usage: scripts/install-deps.sh [run|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
