#!/usr/bin/env bash
# Installs what is missing, builds palaver and randprobe, and runs every test.
#   scripts/test.sh              plain build and the whole suite
#   scripts/test.sh --sanitize   also the suite under ASan+UBSan and under TSan
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

JOBS=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DPALAVER_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS")
}

run_suite build
if [ "${1:-}" = "--sanitize" ]; then
  run_suite build-asan -DPALAVER_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
  run_suite build-tsan -DPALAVER_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
fi
