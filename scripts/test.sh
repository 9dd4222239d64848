#!/usr/bin/env bash
# Installs what is missing, builds palaver and randprobe, and runs every test:
# the whole suite, the Debian package's check, static checks, the suite again
# under ASan+UBSan and under TSan, and each fuzz target for a bounded time.
#   scripts/test.sh               everything (what CI runs); stops at the first
#                                 stage that fails
#   scripts/test.sh --quick       the plain build and suite only
#   scripts/test.sh --keep-going  every stage even after one has failed (as
#                                 scripts/fresh-check.sh runs it)
#   scripts/test.sh --stress N    the plain, ASan and TSan suites N times each,
#                                 two tests at once while a third process
#                                 keeps one core busy; prints every test that
#                                 failed with its count (exit 1 when any did)
# Each stage ends with one line "=== stage NAME: passed (Ns)" or
# "=== stage NAME: FAILED with status S (Ns)".
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
keep_going=0
stress_runs=0
while [ "$#" -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --keep-going) keep_going=1 ;;
    --stress)
      stress_runs=${2:-}
      if ! [[ "$stress_runs" =~ ^[1-9][0-9]*$ ]]; then
        echo "scripts/test.sh: --stress needs a number of runs above 0, not '${stress_runs}'" >&2
        exit 2
      fi
      shift
      ;;
    *)
      echo "usage: $0 [--quick] [--keep-going] [--stress N]" >&2
      exit 2
      ;;
  esac
  shift
done

JOBS=$(nproc)
failed=()
# stage NAME COMMAND...: runs one stage and reports it with its time. A failed
# stage ends the run, unless --keep-going.
stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    echo "=== stage $name: passed ($((SECONDS - start))s)"
  else
    echo "=== stage $name: FAILED with status $status ($((SECONDS - start))s)"
    failed+=("$name")
    [ "$keep_going" -eq 1 ] || exit "$status"
  fi
}

# The steps inside a stage are chained with &&: a function called in the
# "|| status=" of stage() runs without set -e, which would go on past a
# failed step.
build_suite() {
  local dir=$1
  shift
  # Tests and lab on explicitly: scripts/run.sh turns both off in build/.
  cmake -S . -B "$dir" -DPALAVER_WERROR=ON -DPALAVER_BUILD_TESTS=ON -DPALAVER_BUILD_LAB=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$JOBS"
}
run_suite() {
  build_suite "$@" && (cd "$1" && ctest --output-on-failure -j "$JOBS")
}
package_checks() {
  bash tests/package/check_run_job.sh &&
    bash tests/package/check_package.sh --send-close build/tests/shell/palaver_send_close
}

stage install bash scripts/install-deps.sh test
# Nothing after this can run without the packages.
[ ${#failed[@]} -eq 0 ] || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ASAN=(build-asan -DPALAVER_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug)
TSAN=(build-tsan -DPALAVER_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug)

if [ "$stress_runs" -gt 0 ]; then
  keep_going=0
  stage "build" build_suite build
  stage "asan build" build_suite "${ASAN[@]}"
  stage "tsan build" build_suite "${TSAN[@]}"
  exec bash scripts/stress.sh "$stress_runs" build build-asan build-tsan
fi

stage suite run_suite build
if [ "$quick" -eq 1 ]; then
  [ ${#failed[@]} -eq 0 ] || exit 1
  exit 0
fi

stage package package_checks
stage "static checks" bash scripts/static-checks.sh
stage asan run_suite "${ASAN[@]}"
stage tsan run_suite "${TSAN[@]}"
stage fuzz bash scripts/fuzz.sh

if [ ${#failed[@]} -ne 0 ]; then
  echo "=== failed stages: ${failed[*]}"
  exit 1
fi
