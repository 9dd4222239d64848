# shellcheck shell=bash
# A one-machine SLURM cluster for the lab's tests: munged, slurmctld and
# slurmd with this host as the only node (at 127.0.0.1), its key,
# configuration, state, spool and logs all in one folder, nothing under
# /etc. Sourced by the tests, not run:
#
#   source slurm_cluster.sh
#   T=$(mktemp -d)
#   slurm_cluster_cleanup_on_exit "$T"      # stops the cluster, removes T
#   slurm_cluster_start "$T/slurm" > "$T/start.out" || fail "$(cat "$T/start.out")"
#   ...  sbatch, salloc, srun, squeue against it (SLURM_CONF is exported)
#
# Needs root (slurmd runs the jobs as their user). The daemons are stopped
# by the PIDs that slurm_cluster_start recorded, never by their names.

SLURM_CLUSTER_PIDS=()
SLURM_CLUSTER_DIR=""

# The tail of every daemon's log, for a test's failure message.
slurm_cluster_logs() {
  [ -n "$SLURM_CLUSTER_DIR" ] || return 0
  tail -n 20 "$SLURM_CLUSTER_DIR"/log/*.log "$SLURM_CLUSTER_DIR"/log/*.out 2> /dev/null || true
}

# fail MESSAGE: a fault of the test: the message, the daemons' logs, exit 1.
fail() {
  echo "FAILED: $*"
  slurm_cluster_logs
  exit 1
}

# slurm_cluster_cleanup_on_exit FOLDER: however the test ends (TERM and INT
# included), the cluster is stopped and the test's FOLDER removed.
slurm_cluster_cleanup_on_exit() {
  SLURM_CLUSTER_REMOVE=$1
  trap 'slurm_cluster_stop; rm -rf "$SLURM_CLUSTER_REMOVE"' EXIT
  trap "exit 143" TERM INT
}

# slurm_cluster_start DIR: starts the cluster in DIR (made if missing, in a
# test's own temporary folder, which is opened to all for munged) and
# waits until its node is idle (one minute at the most). Exports SLURM_CONF.
# Prints one line and returns 1 when a daemon does not come up.
slurm_cluster_start() {
  local dir=$1 tool
  for tool in munged slurmctld slurmd sinfo; do
    command -v "$tool" > /dev/null || { echo "slurm_cluster: $tool is missing (bash scripts/install-deps.sh test installs it)"; return 1; }
  done
  SLURM_CLUSTER_DIR=$dir
  # munged wants its key and seed private and its socket's folders open to
  # all: DIR, and the test's own temporary folder above it.
  mkdir -p "$dir"
  chmod 755 "$dir"
  chmod a+x "$(dirname "$dir")"
  mkdir -p "$dir/munge-key" "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" "$dir/tmp"
  chmod 700 "$dir/munge-key"
  head -c 1024 /dev/urandom > "$dir/munge-key/munge.key"
  chmod 600 "$dir/munge-key/munge.key"
  munged -F --socket="$dir/munge/socket" --key-file="$dir/munge-key/munge.key" --log-file="$dir/log/munged.log" \
    --pid-file="$dir/munge-key/munged.pid" --seed-file="$dir/munge-key/seed" > "$dir/log/munged.out" 2>&1 &
  SLURM_CLUSTER_PIDS+=($!)

  local host ctld_port slurmd_port
  host=$(hostname -s)
  # Ports of this test process, away from SLURM's defaults and from other runs.
  ctld_port=$((20000 + $$ % 20000))
  slurmd_port=$((ctld_port + 1))
  # MpiDefault=none: a step asks for PMIx itself (srun --mpi=pmix).
  # TmpFS: the PMIx plugin makes each step's folder there (by job and step
  # number, which every new cluster starts again from 1), so two clusters
  # at once, or one after a run that was cut off, do not meet in /tmp.
  cat > "$dir/slurm.conf" << CONF
ClusterName=palaverlab
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
TmpFS=$dir/tmp
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=lab Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF="$dir/slurm.conf"

  # munged must be up before the SLURM daemons ask it for credentials.
  local _
  for _ in $(seq 100); do [ -S "$dir/munge/socket" ] && break; sleep 0.1; done
  [ -S "$dir/munge/socket" ] || { echo "slurm_cluster: munged did not start: $(tail -n 3 "$dir/log/munged.out")"; return 1; }
  local ctld slurmd_pid name pid start=$SECONDS
  slurmctld -D -f "$SLURM_CONF" > "$dir/log/slurmctld.out" 2>&1 &
  ctld=$!
  slurmd -D -N "$host" -f "$SLURM_CONF" > "$dir/log/slurmd.out" 2>&1 &
  slurmd_pid=$!
  SLURM_CLUSTER_PIDS+=("$ctld" "$slurmd_pid")
  # Up when the node is idle; a daemon that stopped (it could not bind its
  # port, say) is said at once, with the last line of its log, and each
  # question to slurmctld gets a few seconds, not SLURM's own retries.
  while [ $((SECONDS - start)) -lt 60 ]; do
    for name in slurmctld slurmd; do
      pid=$ctld
      [ "$name" = slurmd ] && pid=$slurmd_pid
      if ! kill -0 "$pid" 2> /dev/null; then
        echo "slurm_cluster: $name stopped: $(tail -n 1 "$dir/log/$name.out")"
        return 1
      fi
    done
    timeout 5 sinfo -h -o '%T' 2> /dev/null | grep -qx idle && return 0
    sleep 0.2
  done
  echo "slurm_cluster: the one-machine cluster did not come up in 60 s (slurm_cluster_logs shows why)"
  return 1
}

# slurm_cluster_stop: cancels what is still queued or running (so that no
# slurmstepd outlives slurmd) and stops the daemons by their PIDs: politely,
# then for sure.
slurm_cluster_stop() {
  local pid _ jobs
  if [ -n "$SLURM_CLUSTER_DIR" ] && [ -n "${SLURM_CONF:-}" ] && command -v scancel > /dev/null; then
    jobs=$(timeout 10 squeue -h -o '%i' 2> /dev/null || true)
    if [ -n "$jobs" ]; then
      # shellcheck disable=SC2086 # one job id a word
      scancel $jobs 2> /dev/null || true
      for _ in $(seq 100); do [ -z "$(timeout 5 squeue -h 2> /dev/null)" ] && break; sleep 0.1; done
    fi
  fi
  for pid in "${SLURM_CLUSTER_PIDS[@]}"; do kill "$pid" 2> /dev/null || true; done
  for pid in "${SLURM_CLUSTER_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2> /dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2> /dev/null || true
    wait "$pid" 2> /dev/null || true
  done
  SLURM_CLUSTER_PIDS=()
}
