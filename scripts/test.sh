#!/usr/bin/env bash
# Installs what is missing, builds palaver and randprobe, and runs every test:
# the whole suite, the Debian package's check, static checks, the suite again
# under ASan+UBSan and under TSan, and each fuzz target for a bounded time.
#   scripts/test.sh             everything (what CI runs)
#   scripts/test.sh --quick     the plain build and suite only
#   scripts/test.sh --stress N  the plain, ASan and TSan suites N times each,
#                               two tests at once while a third process keeps
#                               one core busy; prints every test that failed
#                               with its count (exit 1 when any did)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=all
stress_runs=0
case "${1:-}" in
  "") ;;
  --quick) mode=quick ;;
  --stress)
    mode=stress
    stress_runs=${2:-}
    if ! [[ "$stress_runs" =~ ^[1-9][0-9]*$ ]]; then
      echo "scripts/test.sh: --stress needs a number of runs above 0, not '${stress_runs}'" >&2
      exit 2
    fi
    ;;
  *)
    echo "usage: scripts/test.sh [--quick | --stress N]" >&2
    exit 2
    ;;
esac

bash scripts/install-deps.sh test

JOBS=$(nproc)
build_suite() {
  local dir=$1; shift
  echo "=== build in $dir $*"
  # Tests and lab on explicitly: scripts/run.sh turns both off in build/.
  cmake -S . -B "$dir" -DPALAVER_WERROR=ON -DPALAVER_BUILD_TESTS=ON -DPALAVER_BUILD_LAB=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
run_suite() {
  local dir=$1
  build_suite "$@"
  echo "=== suite in $dir"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS")
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
SUITES=(
  "build"
  "build-asan -DPALAVER_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"
  "build-tsan -DPALAVER_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"
)

if [ "$mode" = stress ]; then
  for suite in "${SUITES[@]}"; do
    # shellcheck disable=SC2086
    build_suite $suite
  done
  exec bash scripts/stress.sh "$stress_runs" build build-asan build-tsan
fi

run_suite build
if [ "$mode" = quick ]; then
  exit 0
fi

echo "=== package"
bash tests/package/check_run_job.sh
bash tests/package/check_package.sh --send-close build/tests/shell/palaver_send_close

echo "=== static checks"
bash scripts/static-checks.sh

# shellcheck disable=SC2086
run_suite ${SUITES[1]}
# shellcheck disable=SC2086
run_suite ${SUITES[2]}

echo "=== fuzzing"
bash scripts/fuzz.sh
