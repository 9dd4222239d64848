#!/usr/bin/env bash
# Installs what is missing for building and running palaver (no test or lab
# packages), builds it and starts it in the repository folder, where it finds
# image/BG1.bmp and writes its logs and reports.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh run
cmake -S . -B build -DPALAVER_BUILD_TESTS=OFF -DPALAVER_BUILD_LAB=OFF >/dev/null
cmake --build build -j "$(nproc)" --target palaver

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "palaver needs a display; without one, run it under Xvfb: xvfb-run -s '-screen 0 1024x768x24' build/shell/palaver"
  exit 1
fi
exec build/shell/palaver
