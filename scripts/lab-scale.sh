#!/usr/bin/env bash
# Runs palaver-lab for 10, 100, 500 and 1000 nodes with 10 lines each and
# prints each run's summary: time per phase, CPU time and peak resident
# memory (the same figures are in each run folder's run.json).
#   bash scripts/lab-scale.sh [build folder] [node counts...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
shift || true
COUNTS=("$@")
[ ${#COUNTS[@]} -gt 0 ] || COUNTS=(10 100 500 1000)

cmake -S . -B "$BUILD" -DPALAVER_BUILD_SHELL=OFF >/dev/null
cmake --build "$BUILD" --target palaver-lab -j2 >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for n in "${COUNTS[@]}"; do
  echo "== $n nodes"
  "$BUILD/lab/palaver-lab" run --nodes "$n" --lines 10 --seed 1 --out "$WORK/run-$n"
  rm -rf "$WORK/run-$n"
done
