#!/usr/bin/env bash
# cppcheck and clang-tidy over the project's own sources. Needs the
# compile_commands.json of a configured build in build/ (scripts/test.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."

SOURCES=$(git ls-files 'node/*.cpp' 'shell/*.cpp' 'randprobe/*.cpp')

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++20 \
  --inline-suppr --suppress=missingIncludeSystem -I node $SOURCES

echo "clang-tidy"
clang-tidy -p build --quiet $SOURCES 2>&1 | grep -vE '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' || true
clang-tidy -p build --quiet $SOURCES >/dev/null 2>&1
echo "static checks clean"
