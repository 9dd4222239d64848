#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing palaver
# need. Only packages that are missing are installed. Runs as root, or through
# sudo when started by another user.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  xvfb xauth x11-utils xdotool libx11-dev fonts-ipafont-gothic
  clang libclang-rt-14-dev cppcheck clang-tidy
  libcli11-dev nlohmann-json3-dev nftables gnuplot-nox graphviz chromium libpng-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
