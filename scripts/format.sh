#!/usr/bin/env bash
# Formats every tracked C++ source (*.cpp, *.h) in place with the project's
# .clang-format (clang-format 14, Debian's clang-format package). The static
# checks (scripts/static-checks.sh) fail on any source this would change.
#   bash scripts/format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f .clang-format ] || { echo "no .clang-format in $(pwd)" >&2; exit 1; }
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format -i --style=file
