#!/usr/bin/env bash
# The run job (scripts/run.sh) needs no test or lab package: install-deps.sh
# run lists none, and the project configures with run.sh's options while
# CMake is forbidden to find GoogleTest, Google Benchmark, CLI11, nlohmann-json
# (palaver itself needs Xlib, to test its display before Qt starts).
#   check_run_job.sh
set -u
repo=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

run_packages=$(bash "$repo/scripts/install-deps.sh" --list run) || fail "install-deps.sh --list run"
for p in clang clang-tidy cppcheck libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev \
         libcli11-dev nlohmann-json3-dev nftables gnuplot-nox graphviz chromium xvfb xdotool; do
    grep -qx "$p" <<<"$run_packages" && fail "the run job installs $p"
done
test_packages=$(bash "$repo/scripts/install-deps.sh" --list test)
for p in $run_packages; do
    grep -qx "$p" <<<"$test_packages" || fail "the test job lacks $p of the run job"
done

options=$(grep -E '^cmake -S \. -B build ' "$repo/scripts/run.sh" | grep -oE -- '-DPALAVER_[A-Z_]+=[A-Z]+')
[ -n "$options" ] || fail "no cmake options found in scripts/run.sh"
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
# shellcheck disable=SC2086
if ! cmake -S "$repo" -B "$build" $options \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON > "$build/configure.log" 2>&1; then
    fail "configuring with$(echo " $options" | tr '\n' ' ')needs a test or lab package:"
    grep -A3 'CMake Error' "$build/configure.log" | head -12
fi
grep -q '^palaver:' <(cmake --build "$build" --target help 2>/dev/null | sed 's/^\.\.\. //; s/ .*//; s/$/:/') \
    || fail "the run configuration has no palaver target"

if [ "$failures" -ne 0 ]; then
    echo "$failures run job checks failed"
    exit 1
fi
echo "run job checks passed: $(echo $run_packages)"
