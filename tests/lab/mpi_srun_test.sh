#!/usr/bin/env bash
# palaver-lab-mpi launched by SLURM itself: a one-machine cluster (munged,
# slurmctld, slurmd; slurm_cluster.sh) started inside a network namespace
# that holds only loopback, an allocation of 2 tasks (salloc), and in it
# `srun --mpi=pmix -n 2 palaver-lab-mpi run`, with no mpirun: the ranks
# find each other through the PMIx server of SLURM's step daemon. From the
# run folder: palaver-lab analyze sees one overlay (the ring intact at every
# snapshot, every typed line at every live node), each node sits on the rank
# the spread gives it with this machine as its host, the other rank's files
# reached rank 0's folder, and the run made the same choices (contacts,
# typists) as the same seed on one rank (`srun --mpi=pmix -n 1`).
# Usage: mpi_srun_test.sh PALAVER_LAB PALAVER_LAB_MPI [SANITIZER]. Exit 77
# (skipped) when it cannot run here, with the reason.
set -euo pipefail
LAB=$(readlink -f "$1")
MPI=$(readlink -f "$2")
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")

# shellcheck source=tests/lab/mpi_checks.sh
source "$HERE/mpi_checks.sh"
mpi_skip_unless_runnable "${3:-}" "the one-machine SLURM cluster in its network namespace (unshare -n)" \
  unshare ip jq munged slurmctld slurmd sinfo squeue scancel salloc srun

# The whole test, cluster included, runs in a namespace of its own: the
# daemons, srun and the tasks slurmd starts all share it, so that neither
# SLURM's traffic nor MPI's nor the nodes' leaves its loopback.
if [ -z "${PALAVER_SRUN_NAMESPACE:-}" ]; then
  exec env PALAVER_SRUN_NAMESPACE=1 unshare -n bash "$(readlink -f "${BASH_SOURCE[0]}")" "$@"
fi
ip link set lo up
# SLURM's daemons bind their ports through getaddrinfo with AI_ADDRCONFIG,
# and glibc does not count 127.0.0.1 as a configured address: with lo's
# own address alone the daemons get none and stop ("Unable to bind listen
# port"). A second loopback address, on lo too, is enough.
ip addr add 127.0.0.2/8 dev lo

# shellcheck source=tests/lab/slurm_cluster.sh
source "$HERE/slurm_cluster.sh"

T=$(mktemp -d /tmp/palaver-srun.XXXXXX)
slurm_cluster_cleanup_on_exit "$T"
NODES=20
RANKS=2
LINES=2
SEED=11

slurm_cluster_start "$T/slurm" > "$T/start.out" || fail "$(cat "$T/start.out")"

# SLURM lists the MPI plugins it has; srun --mpi=pmix needs "pmix".
srun --mpi=list > "$T/mpi-list.out" 2>&1 || fail "srun --mpi=list: $(cat "$T/mpi-list.out")"
if ! grep -qE '^\s*pmix$' "$T/mpi-list.out"; then
  echo "SKIPPED: this SLURM offers no pmix MPI plugin (srun --mpi=list: $(grep -E '^\s' "$T/mpi-list.out" | xargs)); Debian's slurm-wlm-basic-plugins has it (mpi_pmix.so)"
  exit 77
fi

# MPI's own traffic: the ranks talk over TCP on lo (self,tcp; OpenMPI
# leaves loopback out of its TCP interfaces unless told to take it),
# rather than over shared memory, as ranks on two machines would. There is
# no mpirun, so neither --allow-run-as-root (mpirun's own check) nor its
# out-of-band channel: the ranks learn each other's addresses from the
# step's PMIx server, which listens on 127.0.0.1 here. srun hands this
# environment to the tasks (--export=ALL is its default), and TMPDIR, the
# test's own, gets the ranks' staging folders.
mkdir "$T/tmp"
export OMPI_MCA_btl=self,tcp OMPI_MCA_btl_tcp_if_include=lo TMPDIR="$T/tmp"

# The allocation: both srun steps in one, each with its status and output.
# --time bounds it: SLURM ends a job that runs past 10 minutes.
cat > "$T/job.sh" << 'JOB'
set -u
srun --mpi=pmix -n "$RANKS" "$MPI" run --nodes "$NODES" --lines "$LINES" --seed "$SEED" --out "$T/r2" > "$T/r2.out" 2>&1
echo $? > "$T/r2.rc"
srun --mpi=pmix -n 1 "$MPI" run --nodes "$NODES" --lines "$LINES" --seed "$SEED" --out "$T/r1" > "$T/r1.out" 2>&1
echo $? > "$T/r1.rc"
srun -n 1 printenv TMPDIR > "$T/task-tmpdir" 2>&1
echo "$SLURM_JOB_ID" > "$T/job.id"
JOB
export T MPI NODES RANKS LINES SEED
salloc -n "$RANKS" --time=10 bash "$T/job.sh" > "$T/salloc.out" 2>&1 || fail "salloc: $(cat "$T/salloc.out")"
[ -s "$T/job.id" ] || fail "the allocation's script did not run to its end: $(cat "$T/salloc.out")"
for run in r2 r1; do
  [ "$(cat "$T/$run.rc")" = 0 ] || { cat "$T/$run.out"; fail "the srun of $run exited $(cat "$T/$run.rc")"; }
done
cat "$T/r2.out"
# The staging check below looks in the TMPDIR the tasks had.
[ "$(cat "$T/task-tmpdir")" = "$T/tmp" ] || fail "a task's TMPDIR is not the test's: $(cat "$T/task-tmpdir")"

mpi_check_overlay "$T/r2" "$T/a2" "$NODES" "$LINES"
mpi_check_spread "$T/r2" "$NODES" "$RANKS"
mpi_check_same_choices "$T/r1" "$T/r2"
mpi_check_stamps_and_ranks "$T/r2" "$T/a2" "$NODES" "$LINES" "$RANKS"
mpi_check_files "$T/r2" "$NODES" "$LINES" "$T/r2.out" "$T/tmp"
echo "passed: job $(cat "$T/job.id"): $NODES nodes on $RANKS srun tasks, ring intact at $MPI_SNAPSHOTS snapshots, $LINES lines at every node, same choices as 1 task"
