#!/usr/bin/env bash
# Runs the CTest suites of the given build folders N times each, two tests at
# once, while a busy loop keeps one more core occupied, and counts every test
# that fails. A test that passes alone but fails here waits for the first
# sign of progress instead of for a quiet overlay, or races its own threads.
#   scripts/stress.sh N BUILD_DIR...   (scripts/test.sh --stress N builds them)
# Exit 0 when no test failed in any run, 1 otherwise.
set -uo pipefail
cd "$(dirname "$0")/.."

runs=$1
shift
[ "$#" -gt 0 ] || { echo "usage: scripts/stress.sh N BUILD_DIR..." >&2; exit 2; }

# The third process: a shell loop that never sleeps, stopped however we end.
( while :; do :; done ) &
busy=$!
trap 'kill "$busy" 2>/dev/null; wait "$busy" 2>/dev/null' EXIT

declare -A failures=()
total=0
for dir in "$@"; do
  [ -f "$dir/CTestTestfile.cmake" ] || { echo "stress: $dir holds no built suite" >&2; exit 2; }
  for ((run = 1; run <= runs; run++)); do
    start=$SECONDS
    log="$dir/stress-$run.log"
    (cd "$dir" && ctest -j2 --output-on-failure) > "$log" 2>&1
    status=$?
    # The names in CTest's closing list, "  12 - Suite.Test (Failed)".
    failed=$(awk '/^The following tests FAILED:/ {list = 1; next}
                  list && match($0, /^[[:space:]]*[0-9]+ - /) {
                    name = substr($0, RLENGTH + 1); sub(/ \([^()]*\)$/, "", name); print name }' "$log")
    n=0
    while IFS= read -r t; do
      [ -n "$t" ] || continue
      failures["$dir: $t"]=$(( ${failures["$dir: $t"]:-0} + 1 ))
      n=$((n + 1))
    done <<< "$failed"
    if [ "$status" -ne 0 ] && [ "$n" -eq 0 ]; then
      failures["$dir: ctest itself (status $status)"]=$(( ${failures["$dir: ctest itself (status $status)"]:-0} + 1 ))
      n=1
    fi
    total=$((total + n))
    echo "stress: $dir run $run/$runs: $n failed ($((SECONDS - start)) s)$([ "$n" -gt 0 ] && echo ", log $log")"
    [ "$n" -gt 0 ] || rm -f "$log"
  done
done

echo "=== stress: $runs runs of each suite in $*"
if [ "$total" -eq 0 ]; then
  echo "no test failed"
  exit 0
fi
for k in "${!failures[@]}"; do
  echo "${failures[$k]} of $runs failed: $k"
done | sort -rn
exit 1
