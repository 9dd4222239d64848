#!/usr/bin/env bash
# Installs what is missing, builds palaver and randprobe, and runs every test:
# the whole suite, the Debian package's check, static checks, the suite again
# under ASan+UBSan and under TSan, and each fuzz target for a bounded time.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the plain build and suite only
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh test

JOBS=$(nproc)
run_suite() {
  local dir=$1; shift
  echo "=== suite in $dir $*"
  # Tests and lab on explicitly: scripts/run.sh turns both off in build/.
  cmake -S . -B "$dir" -DPALAVER_WERROR=ON -DPALAVER_BUILD_TESTS=ON -DPALAVER_BUILD_LAB=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS")
}

run_suite build
if [ "${1:-}" = "--quick" ]; then
  exit 0
fi

echo "=== package"
bash tests/package/check_run_job.sh
bash tests/package/check_package.sh --send-close build/tests/shell/palaver_send_close

echo "=== static checks"
bash scripts/static-checks.sh

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build-asan -DPALAVER_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
run_suite build-tsan -DPALAVER_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug

echo "=== fuzzing"
bash scripts/fuzz.sh
