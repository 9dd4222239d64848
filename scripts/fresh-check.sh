#!/usr/bin/env bash
# Runs the README's two commands where a new user on a container or a minimal
# install would: in a root made by `debootstrap --variant=minbase bookworm`
# (what Debian's container images hold), with nothing but a clone of the
# project. Run it before a change to the install steps is called done; it
# takes long (a new root, every package, every build, every test stage), so
# CI does not run it.
#   bash scripts/fresh-check.sh [--keep] [--mirror URL]
#     --keep        keep the root (unmounted) for a look afterwards
#     --mirror URL  the Debian archive to make the root from; without it, the
#                   bookworm archive in this machine's apt sources
# Stages: debootstrap, clone, the run command (bash scripts/run.sh: its
# palaver window must appear on an Xvfb of this host) and the test command
# (bash scripts/test.sh --keep-going, which goes on past a failed stage),
# each with its result and time in a summary at the end; the exit code is
# non-zero when any stage failed. The clone is of the committed HEAD:
# uncommitted changes are not checked.
# The root shares this host's network namespace, its /dev and its /tmp: X
# servers name their displays by lock files in /tmp and by sockets in that
# namespace, so the root's xvfb-run and this host's X servers must see each
# other's, or they take the same display number.
set -uo pipefail

# One block, read whole before it runs: a change to this file during a run
# (which takes long) does not reach that run.
{
keep=0
mirror=""
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=1 ;;
    --mirror)
      [ $# -ge 2 ] || { echo "fresh-check.sh: --mirror needs a URL" >&2; exit 2; }
      mirror=$2
      shift
      ;;
    *)
      echo "usage: $0 [--keep] [--mirror URL]" >&2
      exit 2
      ;;
  esac
  shift
done

if [ "$(id -u)" -ne 0 ]; then
  args=()
  [ "$keep" -eq 1 ] && args+=(--keep)
  [ -n "$mirror" ] && args+=(--mirror "$mirror")
  exec sudo bash "$0" "${args[@]}"
fi

repo=$(cd "$(dirname "$0")/.." && pwd)
head=$(git -C "$repo" rev-parse HEAD) || { echo "fresh-check.sh: $repo is not a git repository" >&2; exit 1; }

# The first archive of the host's apt sources (one-line or deb822 form) that
# serves bookworm itself (not -updates or -security).
host_mirror() {
  local files=() f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && files+=("$f")
  done
  if [ ${#files[@]} -gt 0 ]; then
    sed -n -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+bookworm([[:space:]].*)?$/\2/p' \
      "${files[@]}" | head -1
  fi
  files=()
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  if [ ${#files[@]} -gt 0 ]; then
    awk '
      function flush() {
        if (!found && types ~ / deb / && suites ~ / bookworm / && enabled != "no" && uri != "") {
          print uri; found = 1
        }
        types = ""; suites = ""; uri = ""; enabled = ""
      }
      FNR == 1 { flush() }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      { field = tolower($1) }
      field == "types:" { types = " "; for (i = 2; i <= NF; i++) types = types $i " " }
      field == "suites:" { suites = " "; for (i = 2; i <= NF; i++) suites = suites $i " " }
      field == "uris:" { uri = $2 }
      field == "enabled:" { enabled = tolower($2) }
      END { flush() }' "${files[@]}"
  fi
}
if [ -z "$mirror" ]; then
  mirror=$(host_mirror | head -1)
  [ -n "$mirror" ] || { echo "fresh-check.sh: no bookworm archive in /etc/apt/sources*; name one with --mirror URL" >&2; exit 1; }
fi

# --- stage results, printed at the end
names=()
results=()
times=()
notes=()
record() {  # record <stage> <passed|FAILED|not run> <seconds> [note]
  names+=("$1")
  results+=("$2")
  times+=("$3")
  notes+=("${4:-}")
  echo "=== fresh-check stage $1: $2 ($3s)${4:+ $4}"
}
summary() {
  local i failures=0
  echo
  echo "fresh-check summary: commit ${head:0:12}, root from $mirror"
  for i in "${!names[@]}"; do
    printf '  %-22s %-8s %6ss  %s\n' "${names[$i]}" "${results[$i]}" "${times[$i]}" "${notes[$i]}"
    [ "${results[$i]}" = passed ] || failures=$((failures + 1))
  done
  if [ "$failures" -eq 0 ]; then
    echo "fresh-check: all ${#names[@]} stages passed"
  else
    echo "fresh-check: $failures of ${#names[@]} stages did not pass"
  fi
  return "$failures"
}

# --- the root, its mounts, and their removal on every way out
root=$(mktemp -d "${FRESH_CHECK_DIR:-/var/tmp}/palaver-fresh.XXXXXX")
# A root folder as open as any /, or apt's own user (_apt) cannot reach its
# files.
chmod 755 "$root"
work=$(mktemp -d)
mounts=()
xvfb_pid=""
run_pid=""

mounted_under_root() { awk -v r="$root/" 'index($2, r) == 1 {print $2}' /proc/self/mounts; }
cleanup() {
  local p m
  trap - EXIT INT TERM
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null
  # Whatever still runs inside the root (a server a test left, a palaver).
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -9 "${p#/proc/}" 2>/dev/null
  done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    m=${mounts[$i]}
    umount "$m" 2>/dev/null || umount -l "$m" || echo "fresh-check.sh: cannot unmount $m"
  done
  rm -rf "$work"
  # Never remove the root while anything is mounted in it: that would
  # remove the host's /tmp, /dev or more through it.
  if [ -n "$(mounted_under_root)" ]; then
    echo "fresh-check.sh: still mounted, so $root is left in place: $(mounted_under_root | tr '\n' ' ')"
  elif [ "$keep" -eq 1 ]; then
    echo "fresh-check.sh: the root is kept in $root (mount /proc, /sys, /dev, /tmp again to enter it)"
  else
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT
trap 'echo "fresh-check.sh: interrupted"; exit 130' INT TERM

bind_in() {  # bind_in <host path>: the same path in the root leads to it
  mkdir -p "$root$1" && mount --bind "$1" "$root$1" && mounts+=("$root$1")
}
mount_all() {
  mkdir -p "$root/proc" && mount -t proc proc "$root/proc" && mounts+=("$root/proc") || return 1
  bind_in /sys || return 1
  bind_in /dev || return 1
  local d
  # What a booted system or a container has mounted below them: the cgroup
  # tree with every hierarchy in it, parents first (slurmd will not start
  # without them), ptys and shared memory.
  while read -r d; do
    bind_in "$d" || return 1
  done < <(findmnt -rn -o TARGET -R /sys/fs/cgroup 2>/dev/null)
  for d in /dev/pts /dev/shm; do
    if mountpoint -q "$d"; then bind_in "$d" || return 1; fi
  done
  bind_in /tmp
}

# in_root <command line> [NAME=VALUE...]: runs the command line with bash in
# the clone, as root with the environment of a new login and nothing of this
# one's. It takes the place of the shell it runs in (call it in a subshell,
# a pipeline or with &), so that a background one's process id becomes the
# command's own.
in_root() {
  local line=$1
  shift
  exec env -i HOME=/root TERM="${TERM:-dumb}" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" \
    chroot "$root" /bin/bash -c "cd /root/palaver && $line"
}

echo "fresh-check: making a minbase bookworm root in $root from $mirror"
if [ -n "$(git -C "$repo" status --porcelain)" ]; then
  echo "fresh-check: note: uncommitted changes in $repo are not checked, only commit ${head:0:12}"
fi
if ! bash "$repo/scripts/install-deps.sh" fresh; then
  echo "fresh-check.sh: cannot install the check's own tools (install-deps.sh fresh)" >&2
  exit 1
fi

# --- debootstrap
start=$SECONDS
if debootstrap --variant=minbase bookworm "$root" "$mirror" > "$work/debootstrap.log" 2>&1; then
  record debootstrap passed $((SECONDS - start))
else
  tail -30 "$work/debootstrap.log"
  record debootstrap FAILED $((SECONDS - start)) "see the log above"
  summary
  exit 1
fi
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# No service starts inside the root while packages install, as in Debian's
# container images.
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
if ! mount_all; then
  record mounts FAILED 0 "cannot mount /proc, /sys, /dev and /tmp into the root"
  summary
  exit 1
fi

# --- clone
start=$SECONDS
if git clone --quiet "$repo" "$root/root/palaver" && git -C "$root/root/palaver" checkout --quiet --detach "$head"; then
  record clone passed $((SECONDS - start)) "commit ${head:0:12}"
else
  record clone FAILED $((SECONDS - start))
  summary
  exit 1
fi

# --- run command: installs the run job, builds, starts palaver on an Xvfb of
# this host; its window must appear.
start=$SECONDS
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
display=":$(head -1 "$work/display" 2>/dev/null)"
if [ "$display" = ":" ]; then
  cat "$work/xvfb.log"
  record "run command" FAILED 0 "Xvfb did not start on this host"
else
  export DISPLAY=$display
  # window_listed: the 640x480 palaver window is on $DISPLAY.
  . "$root/root/palaver/tests/shell/palaver_x.sh"
  echo "=== run command: bash scripts/run.sh (DISPLAY=$display)"
  in_root "exec bash scripts/run.sh" DISPLAY="$display" &
  run_pid=$!
  # Installing and building come first: allow them an hour.
  until window_listed 2>/dev/null; do
    kill -0 "$run_pid" 2>/dev/null || break
    [ $((SECONDS - start)) -ge 3600 ] && break
    sleep 2
  done
  if window_listed 2>/dev/null; then
    program=$(readlink "/proc/$run_pid/exe" 2>/dev/null)
    kill "$run_pid" 2>/dev/null
    wait "$run_pid" 2>/dev/null
    run_pid=""
    if [ "$program" = "$root/root/palaver/build/shell/palaver" ]; then
      record "run command" passed $((SECONDS - start)) "the palaver window appeared"
    else
      record "run command" FAILED $((SECONDS - start)) "a palaver window appeared, but the command runs '$program'"
    fi
  elif kill -0 "$run_pid" 2>/dev/null; then
    kill "$run_pid" 2>/dev/null
    wait "$run_pid" 2>/dev/null
    run_pid=""
    record "run command" FAILED $((SECONDS - start)) "no palaver window within an hour"
  else
    wait "$run_pid"
    status=$?
    run_pid=""
    record "run command" FAILED $((SECONDS - start)) "ended with status $status and no window"
  fi
  unset DISPLAY
fi
kill "$xvfb_pid" 2>/dev/null
wait "$xvfb_pid" 2>/dev/null
xvfb_pid=""

# --- test command, with every stage even after one failed
start=$SECONDS
echo "=== test command: bash scripts/test.sh --keep-going"
(in_root "bash scripts/test.sh --keep-going") 2>&1 | tee "$work/test.log"
status=${PIPESTATUS[0]}
# "=== stage NAME: passed (Ns)" or "=== stage NAME: FAILED with status S (Ns)",
# with the names of the tests that ctest listed as failed before it.
stages=$(awk '
  /^The following tests FAILED:/ { collecting = 1; next }
  collecting && /^[[:space:]]+[0-9]+ - / { sub(/^[[:space:]]+[0-9]+ - /, ""); sub(/ \(.*\)$/, ""); tests = tests (tests ? " " : "") $0; next }
  { collecting = 0 }
  /^=== stage / {
    line = substr($0, 11)
    name = line; sub(/: (passed|FAILED).*/, "", name)
    result = (line ~ /: passed/) ? "passed" : "FAILED"
    secs = line; sub(/.*\(/, "", secs); sub(/s\)$/, "", secs)
    printf "%s\t%s\t%s\t%s\n", name, result, secs, tests
    tests = ""
  }' "$work/test.log")
seen=""
while IFS=$'\t' read -r name result secs failed_tests; do
  [ -n "$name" ] || continue
  seen="$seen|$name|"
  record "test: $name" "$result" "$secs" "${failed_tests:+failed: $failed_tests}"
done <<<"$stages"
for name in install suite package "static checks" asan tsan fuzz; do
  case $seen in *"|$name|"*) ;; *) record "test: $name" "not run" 0 ;; esac
done
if [ "$status" -ne 0 ] && ! grep -q FAILED <<<"$stages"; then
  record "test command" FAILED $((SECONDS - start)) "ended with status $status"
fi

summary
exit
}
