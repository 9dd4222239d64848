#!/usr/bin/env bash
# Measures palaver-lab-mpi on this machine and writes the section "MPI: one
# overlay over several ranks" of lab/RESULTS.md (not part of CI; about a
# quarter of an hour on two cores, as root):
#   - N = 1000, the same seed, as one palaver-lab run process and as
#     palaver-lab-mpi on R = 1 and R = 2 ranks: wall time per phase, and what
#     the ranks add to the build;
#   - N = 3000 over R = 3 ranks;
#   every rank's CPU time and peak memory per phase from run.json's ranks.
# Every run goes into a network namespace of its own holding only loopback
# (the nodes on 127.77/16, MPI's own traffic on lo).
#
#   bash scripts/lab-mpi.sh          run everything, rewrite the section
#   bash scripts/lab-mpi.sh --reuse  keep runs that already have a run.json
#
# Environment: BUILD (build folder, default build), LAB_WORK (default
# out/lab-mpi), SEED (default 1), LINES (default 5), MID and BIG (the runs' N,
# default 1000 and 3000), RESULTS (the file to write, default lab/RESULTS.md).
# The tables are generated from run.json; the paragraph under them is read
# from lab/results/MPI.md, written by a person after looking at them.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
LAB=$BUILD/lab/palaver-lab
MPI=$BUILD/lab/palaver-lab-mpi
WORK=${LAB_WORK:-$ROOT/out/lab-mpi}
SEED=${SEED:-1}
LINES=${LINES:-5}
MID=${MID:-1000}
BIG=${BIG:-3000}
REUSE=0
for arg in "$@"; do
  case $arg in
    --reuse) REUSE=1 ;;
    *) echo "lab-mpi.sh: unknown argument $arg (--reuse)" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "lab-mpi.sh: the runs' network namespaces (unshare -n) need root" >&2; exit 2; }
for tool in mpirun unshare ip jq; do
  command -v "$tool" > /dev/null || { echo "lab-mpi.sh: $tool is missing (bash scripts/install-deps.sh test)" >&2; exit 2; }
done
if [ ! -x "$MPI" ] || [ ! -x "$LAB" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DPALAVER_BUILD_LAB=ON > /dev/null
  cmake --build "$BUILD" --target palaver-lab palaver-lab-mpi -j2 > /dev/null
fi
mkdir -p "$WORK/runs" "$WORK/logs"
RESULTS=${RESULTS:-$ROOT/lab/RESULTS.md}
NOTES=$ROOT/lab/results/MPI.md
FAILED=()

# mpi NAME RANKS ARGS...: palaver-lab-mpi on RANKS ranks into $WORK/runs/NAME.
mpi() {
  local name=$1 ranks=$2
  shift 2
  local dir=$WORK/runs/$name
  if [ "$REUSE" = 1 ] && [ -f "$dir/run.json" ]; then echo "reusing $name"; return 0; fi
  rm -rf "$dir"
  git -C "$ROOT" rev-parse --short HEAD > "$dir.commit"
  echo "run $name: $ranks ranks, $*"
  unshare -n bash -c 'ip link set lo up && exec "$@"' inside mpirun --allow-run-as-root --oversubscribe --bind-to none -n "$ranks" \
    --mca btl self,tcp --mca btl_tcp_if_include lo --mca oob_tcp_if_include lo \
    "$MPI" run --seed "$SEED" --lines "$LINES" "$@" --out "$dir" > "$WORK/logs/$name.txt" 2>&1 ||
    { echo "  run $name failed (see $WORK/logs/$name.txt)"; FAILED+=("$name"); }
}

# one NAME ARGS...: palaver-lab run (one process, its own namespace).
one() {
  local name=$1
  shift
  local dir=$WORK/runs/$name
  if [ "$REUSE" = 1 ] && [ -f "$dir/run.json" ]; then echo "reusing $name"; return 0; fi
  rm -rf "$dir"
  git -C "$ROOT" rev-parse --short HEAD > "$dir.commit"
  echo "run $name: one process, $*"
  "$LAB" run --seed "$SEED" --lines "$LINES" "$@" --out "$dir" > "$WORK/logs/$name.txt" 2>&1 ||
    { echo "  run $name failed (see $WORK/logs/$name.txt)"; FAILED+=("$name"); }
}

one "n${MID}_lab" --nodes "$MID"
mpi "n${MID}_r1" 1 --nodes "$MID"
mpi "n${MID}_r2" 2 --nodes "$MID"
mpi "n${BIG}_r3" 3 --nodes "$BIG"

# phases RUN: one table row per phase: wall ms, then per process (rank 0
# first) the CPU ms spent in the phase and the peak RSS at its end.
phases() {
  jq -r '
    def cpu(p): if p.ranks then [p.ranks[].cpu_ms] else [p.cpu_ms] end;
    def rss(p): if p.ranks then [p.ranks[].peak_rss_kib] else [p.peak_rss_kib] end;
    .parameters.nodes as $n | (.ranks // [{}] | length) as $r |
    [{cpu: [range($r) | 0]}] + [.phases[] | {name, wall: (.end_ms - .start_ms), cpu: cpu(.), rss: rss(.)}] |
    [range(1; length) as $i | .[$i] as $p | .[$i - 1] as $q |
      "| \($n) | \($r) | \($p.name) | \($p.wall) | " +
      ([range($r) as $k | "\($p.cpu[$k] - $q.cpu[$k])"] | join(" / ")) + " | " +
      ([$p.rss[] | (. / 1024 * 10 | round / 10 | tostring)] | join(" / ")) + " |"] | .[]' "$1"
}

# summary RUN LABEL: one row: wall of the build and of the whole run, the
# joins, the lines' reach, the clock errors, the commit it ran.
summary() {
  local commit
  commit=$(cat "$(dirname "$1").commit" 2> /dev/null || echo "?")
  jq -r --arg what "$2" --arg commit "$commit" '
    ([.phases[] | select(.name == "build") | .end_ms - .start_ms] | add) as $build |
    ([.nodes[] | select(.join == "joined")] | length) as $joined |
    ([.lines[] | select(.accepted_by == .live_nodes)] | length) as $whole |
    "| \($what) | \(.parameters.nodes) | \(.ranks // [{}] | length) | \($build) | \(.end_ms) | \($joined) | " +
    "\($whole) of \(.lines | length) | " +
    (if .ranks then ([.ranks[1:][] | .clock_error_us] | if length > 0 then "\(max) us" else "-" end) else "-" end) +
    " | \($commit) |"' \
    "$1"
}

section=$(mktemp)
{
  echo "## MPI: one overlay over several ranks"
  echo
  echo "Measured by \`bash scripts/lab-mpi.sh\` (seed $SEED, $LINES lines; each run's commit in the table)"
  echo "on this machine ($(nproc) cores), every run in a network namespace of its own. The same overlay"
  echo "is built by one palaver-lab process and by palaver-lab-mpi on 1, 2 and 3 ranks (all on this"
  echo "machine: the ranks share its two cores)."
  echo
  echo "| run | N | ranks | build ms | run ms | joined | lines at every live node | worst clock error | commit |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | --- | ---: | --- |"
  for pair in "n${MID}_lab:palaver-lab run" "n${MID}_r1:palaver-lab-mpi" "n${MID}_r2:palaver-lab-mpi" "n${BIG}_r3:palaver-lab-mpi"; do
    name=${pair%%:*}
    [ -f "$WORK/runs/$name/run.json" ] && summary "$WORK/runs/$name/run.json" "${pair#*:}"
  done
  echo
  echo "Per phase: wall time, each process's CPU time in the phase (rank 0 first; its nodes'"
  echo "receive threads included) and its peak RSS at the phase's end."
  echo
  echo "| N | ranks | phase | wall ms | CPU ms by rank | peak RSS MiB by rank |"
  echo "| ---: | ---: | --- | ---: | --- | --- |"
  for name in "n${MID}_lab" "n${MID}_r1" "n${MID}_r2" "n${BIG}_r3"; do
    [ -f "$WORK/runs/$name/run.json" ] && phases "$WORK/runs/$name/run.json"
  done
  echo
  echo "Commands (one machine, as root):"
  echo
  echo "    unshare -n bash -c 'ip link set lo up && exec \"\$@\"' inside \\"
  echo "      mpirun --allow-run-as-root --oversubscribe --bind-to none -n 2 --mca btl self,tcp \\"
  echo "      --mca btl_tcp_if_include lo --mca oob_tcp_if_include lo \\"
  echo "      build/lab/palaver-lab-mpi run --nodes $MID --lines $LINES --seed $SEED --out /tmp/n${MID}_r2"
  echo
  if [ -f "$NOTES" ]; then
    cat "$NOTES"
  else
    echo "(No notes yet: lab/results/MPI.md is missing.)"
  fi
  if [ ${#FAILED[@]} -gt 0 ]; then
    echo
    echo "Runs that failed: ${FAILED[*]}."
  fi
} > "$section"

# The section replaces its old self, or goes at the end.
if grep -q '^## MPI: one overlay over several ranks' "$RESULTS"; then
  awk -v file="$section" '
    /^## MPI: one overlay over several ranks/ { while ((getline line < file) > 0) print line; skip = 1; next }
    skip && /^## / { skip = 0 }
    !skip' "$RESULTS" > "$RESULTS.new"
else
  { cat "$RESULTS"; echo; cat "$section"; } > "$RESULTS.new"
fi
mv "$RESULTS.new" "$RESULTS"
rm -f "$section"
echo "wrote the MPI section of $RESULTS"
[ ${#FAILED[@]} -eq 0 ]
