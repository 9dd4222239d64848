#!/usr/bin/env bash
# clang-format, cppcheck and clang-tidy over the project's own sources. Needs
# the compile_commands.json of a configured build in build/ (scripts/test.sh
# makes it).
set -euo pipefail
cd "$(dirname "$0")/.."

# Every tracked C++ source as .clang-format formats it (scripts/format.sh).
echo "clang-format"
[ -f .clang-format ] || { echo "no .clang-format"; exit 1; }
FORMAT_LOG=$(mktemp)
trap 'rm -f "$FORMAT_LOG"' EXIT
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror --style=file > "$FORMAT_LOG" 2>&1; then
  head -40 "$FORMAT_LOG"
  echo "off the format of .clang-format ($(grep -c ': error: code should be clang-formatted' "$FORMAT_LOG") places):"
  grep -oE '^[^:]+:[0-9]+:[0-9]+: error: code should be clang-formatted' "$FORMAT_LOG" | cut -d: -f1 | sort -u | sed 's/^/  /'
  echo "bash scripts/format.sh formats them"
  exit 1
fi

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
