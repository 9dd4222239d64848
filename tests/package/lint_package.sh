#!/usr/bin/env bash
# Debian's and AppStream's own checkers on the package: lintian reports no
# error and no warning (the tags the package overrides on purpose are in
# packaging/lintian-overrides, each with its reason), and appstreamcli finds
# the AppStream metadata valid, on its own and against the unpacked tree.
#   lint_package.sh <palaver_*.deb> <root the package was unpacked into>
set -u
deb=$1
root=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
lintian --allow-root --fail-on error,warning "$deb" > "$out" 2>&1 || status=$?
cat "$out"
grep -qE '^[EW]: ' "$out" && fail "lintian: $(grep -cE '^[EW]: ' "$out") errors or warnings"
[ "$status" -eq 0 ] || fail "lintian exited with status $status"

metainfo=("$root"/usr/share/metainfo/*.metainfo.xml)
if [ ! -f "${metainfo[0]}" ]; then
    fail "no AppStream metadata in usr/share/metainfo"
else
    for file in "${metainfo[@]}"; do
        appstreamcli validate --no-net "$file" || fail "appstreamcli rejects $(basename "$file")"
    done
    # The same metadata against the unpacked tree: its launchable menu entry
    # must be there.
    appstreamcli validate-tree --no-net "$root" || fail "appstreamcli rejects the unpacked tree"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures lint checks failed"
    exit 1
fi
echo "lintian and appstreamcli clean"
