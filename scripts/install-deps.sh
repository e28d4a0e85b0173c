#!/usr/bin/env bash
# Installs every package the build and the tests need (Debian 12), without questions.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PKGS=(build-essential cmake pkg-config git
      libcurl4-openssl-dev nlohmann-json3-dev libicu-dev
      libgtest-dev libgmock-dev googletest
      libqrencode-dev qt6-base-dev
      clang libclang-rt-14-dev
      curl procps iproute2
      chromium fonts-dejavu-core fonts-noto-color-emoji
      xvfb xauth xdotool zbar-tools imagemagick
      node-ws)
# The browser tests need Node.js and npm; a Node.js from elsewhere (with its own npm) is kept.
command -v node >/dev/null || PKGS+=(nodejs)
command -v npm >/dev/null || PKGS+=(npm)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
