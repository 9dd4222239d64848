#!/usr/bin/env bash
# palaver-lab sweep through a real SLURM: a one-machine cluster (munged,
# slurmctld and slurmd with this host as the only node, everything in a
# temporary folder; slurm_cluster.sh starts it) runs a 2 x 3 sweep as a job
# array; its merged sweep.csv must match the same sweep run here with
# --jobs 2: the same rows and the same counts of runs, figures and failures
# exactly, the figures themselves loosely (they depend on the kernel's
# random loss and on timing).
# Usage: sweep_slurm_test.sh PALAVER_LAB. Exit 77 (skipped) when not root.
set -euo pipefail
LAB=$(readlink -f "$1")

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the one-machine SLURM cluster needs root (slurmd runs the jobs as their user)"
  exit 77
fi
for tool in sbatch squeue; do
  command -v "$tool" > /dev/null || { echo "FAILED: $tool is missing (bash scripts/install-deps.sh test installs it)"; exit 1; }
done
# shellcheck source=tests/lab/slurm_cluster.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/slurm_cluster.sh"

T=$(mktemp -d /tmp/palaver-slurm.XXXXXX)
slurm_cluster_cleanup_on_exit "$T"
slurm_cluster_start "$T/slurm" > "$T/start.out" || fail "$(cat "$T/start.out")"

RUN=(--nodes 6 --lines 2 --quiet 500 --vary loss=0,5 --seeds 1-3)
"$LAB" sweep "${RUN[@]}" --slurm --submit --out "$T/cluster" > "$T/submit.out" || fail "sweep --slurm --submit: $(cat "$T/submit.out")"
JOB=$(sed -n 's/^submitted job \([0-9]*\)$/\1/p' "$T/submit.out")
[ -n "$JOB" ] || fail "no job id in: $(cat "$T/submit.out")"
grep -q '^#SBATCH --array=0-5$' "$T/cluster/sweep.sbatch" || fail "the batch script's array is not 0-5"

# Meanwhile the same sweep here.
"$LAB" sweep "${RUN[@]}" --jobs 2 --out "$T/local" > /dev/null 2> "$T/local.err" || fail "local sweep: $(tail -n 3 "$T/local.err")"

# The job is done when squeue no longer lists it (bounded: 10 minutes).
done=0
for _ in $(seq 1200); do
  if [ -z "$(squeue -h -j "$JOB" 2> /dev/null)" ]; then done=1; break; fi
  sleep 0.5
done
[ "$done" -eq 1 ] || fail "job $JOB still queued or running after 10 minutes"

"$LAB" analyze "$T/cluster" --out "$T/cluster-report" --no-pictures > "$T/cluster.out" || fail "analyze the cluster's sweep"
"$LAB" analyze "$T/local" --out "$T/local-report" --no-pictures > "$T/local.out" || fail "analyze the local sweep"
grep -q "sweep of 6 runs (6 went through, 0 failed" "$T/cluster.out" || fail "cluster: $(cat "$T/cluster.out")"
grep -q "sweep of 6 runs (6 went through, 0 failed" "$T/local.out" || fail "local: $(cat "$T/local.out")"

# Columns: loss,figure,n,mean,sd,ci95,min,max,runs,failed
# Runs and failures per point must match exactly. The kernel draws which
# datagrams a loss rule drops afresh in every run, so only the loss-free
# point gives the same figures for the same seed: its per-figure counts must
# match too and its means loosely; under loss a figure may even be defined
# in one sweep's runs and not the other's. Figures of the first copy's path
# or of time (hops, stretch, seconds, milliseconds) depend on which threads
# the cores ran first, which the machine's load decides: they are left out.
awk -F, '
  FNR == 1 { next }
  NR == FNR { key[$1 "," $2] = $0; next }
  {
    k = $1 "," $2
    if (!(k in key)) { print "only in the cluster sweep: " k; bad = 1; next }
    split(key[k], a, ",")
    seen[k] = 1
    if (a[9] != $9 || a[10] != $10) { print "runs differ for " k ": " key[k] " vs " $0; bad = 1 }
    if ($1 != "0") next
    if (a[3] != $3) { print "counts differ for " k ": " key[k] " vs " $0; bad = 1 }
    if (($4 == "") != (a[4] == "")) { print "mean defined in one sweep only: " k; bad = 1 }
    # Loosely: the means may differ by their two intervals and a quarter of their size.
    d = $4 - a[4]; if (d < 0) d = -d
    m = ($4 < 0 ? -$4 : $4); if ((a[4] < 0 ? -a[4] : a[4]) > m) m = (a[4] < 0 ? -a[4] : a[4]); if (m < 1) m = 1
    if ($2 !~ /hops|stretch|seconds|_ms$/ && d > $6 + a[6] + 0.25 * m) { print "means far apart for " k ": " a[4] " vs " $4; bad = 1 }
  }
  END {
    for (k in key) if (!(k in seen)) { print "only in the local sweep: " k; bad = 1 }
    exit bad
  }' "$T/local-report/sweep.csv" "$T/cluster-report/sweep.csv" || fail "the sweeps differ"
rows=$(($(wc -l < "$T/cluster-report/sweep.csv") - 1))
echo "PASSED: job $JOB ran 6 runs on the one-machine cluster; its sweep.csv ($rows rows) matches the local one"
