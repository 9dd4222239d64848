#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan+UBSan and runs each for a
# bounded time (FUZZ_SECONDS, default 60) from the seed corpus in fuzz/corpus.
# A crash fails the run; its input is left in build-fuzz/fuzz/ to be added to
# the corpus as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPALAVER_BUILD_FUZZ=ON -DPALAVER_BUILD_TESTS=OFF \
  -DPALAVER_BUILD_SHELL=OFF -DPALAVER_SANITIZE=address -DPALAVER_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_parse fuzz_receive

cd build-fuzz/fuzz
for target in fuzz_parse fuzz_receive; do
  rm -rf "corpus-$target" && mkdir -p "corpus-$target"
  echo "fuzzing $target for ${SECONDS_PER_TARGET}s"
  status=0
  ./$target -max_total_time="$SECONDS_PER_TARGET" -max_len=1100 -print_final_stats=1 \
      -dict=../../fuzz/datagram.dict "corpus-$target" ../../fuzz/corpus > "$target.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$target.log"
    echo "$target failed (status $status)"
    exit 1
  fi
done
