#!/usr/bin/env bash
# cppcheck and clang-tidy over the project's own sources. Needs the
# compile_commands.json of a configured build in build/ (scripts/test.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."

SOURCES=$(git ls-files 'node/*.cpp' 'shell/*.cpp' 'randprobe/*.cpp' 'lab/*.cpp')

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++20 \
  --inline-suppr --suppress=missingIncludeSystem -I node $SOURCES

echo "clang-tidy"
status=0
clang-tidy -p build --quiet $SOURCES > build/clang-tidy.log 2>&1 || status=$?
grep -vE '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' build/clang-tidy.log || true
if [ "$status" -ne 0 ]; then
  echo "clang-tidy found problems"
  exit 1
fi
echo "static checks clean"
