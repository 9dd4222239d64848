#!/usr/bin/env bash
# install-deps.sh's wait for apt's locks (scripts/apt-lock.sh), on lock files
# of this test's own: a lock held elsewhere makes it wait and say who holds
# it, a lock released lets it go on, one held too long makes it give up with
# one line, and a lock on another file or a missing file is no reason to wait.
set -uo pipefail
. "$(dirname "$0")/../../scripts/apt-lock.sh"
dir=$(mktemp -d)
holders=()
trap 'kill "${holders[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

hold() { # FILE SECONDS: holds FILE locked in the background; waits until it is
  # -o: the lock stays with flock itself, so killing flock lets it go.
  flock -o "$1" sleep "$2" &
  holders+=($!)
  for _ in $(seq 100); do
    if apt_lock_holder "$1" >/dev/null; then
      holders+=($(pgrep -P "${holders[-1]}")) # its sleep, for the clean-up
      return 0
    fi
    sleep 0.05
  done
  fail "the lock on $1 never showed in /proc/locks"
}

touch "$dir/free" "$dir/other" "$dir/busy" "$dir/stuck"

# Free, missing and another file's lock: no wait, no word.
hold "$dir/other" 30
out=$(APT_LOCK_FILES="$dir/free $dir/missing" APT_LOCK_WAIT=5 wait_for_apt_locks 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || fail "free or missing lock files: status $?, said '$out'"
apt_lock_holder "$dir/free" >/dev/null && fail "a free file reported as held"
apt_lock_holder "$dir/missing" >/dev/null && fail "a missing file reported as held"

# Held until the waiter has said so: it names the file and the holder, and
# goes on once the holder has let go.
hold "$dir/busy" 60
busy=$(apt_lock_holder "$dir/busy")
pid=$(apt_lock_holder "$dir/busy")
(APT_LOCK_FILES="$dir/free $dir/busy" APT_LOCK_WAIT=120 wait_for_apt_locks > "$dir/said" 2>&1; echo $? > "$dir/status") &
for _ in $(seq 600); do grep -q waiting "$dir/said" 2>/dev/null && break; sleep 0.05; done
[ -e "$dir/status" ] && fail "held lock: the waiter went on while it was held"
kill "$busy"
for _ in $(seq 600); do [ -s "$dir/status" ] && break; sleep 0.05; done
[ "$(cat "$dir/status" 2>/dev/null)" = 0 ] || fail "released lock: status '$(cat "$dir/status" 2>/dev/null)'"
out=$(cat "$dir/said")
case $out in
  *"waiting for process $pid (flock) to release $dir/busy"*) ;;
  *) fail "held lock: said '$out'" ;;
esac
[ "$(grep -c waiting <<< "$out")" -eq 1 ] || fail "the wait said so more than once: '$out'"

# Held past the limit: gives up with one line and status 1.
hold "$dir/stuck" 30
out=$(APT_LOCK_FILES="$dir/stuck" APT_LOCK_WAIT=1 wait_for_apt_locks 2>&1)
status=$?
[ "$status" -eq 1 ] || fail "lock held past the limit: status $status"
grep -q "^install-deps: $dir/stuck is still held by process [0-9]* after 1 s" <<< "$out" \
  || fail "lock held past the limit: said '$out'"

[ "$fails" -eq 0 ] && echo "apt lock wait: all cases passed"
exit $((fails > 0))
