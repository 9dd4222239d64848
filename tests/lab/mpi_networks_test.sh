#!/usr/bin/env bash
# palaver-lab-mpi with its ranks in two networks, as on two hosts: two
# network namespaces the test makes, joined by a bridge in a third one that
# holds mpirun. OpenMPI starts a daemon in each namespace as it would on a
# remote host (its rsh agent here enters the namespace instead of logging
# in), so each rank's MPI traffic, its nodes and its loss rules live in its
# own network. A 12-node run with loss under the host plan: every node at
# its rank's address and port, one set of rules in each network (the two
# counters add up to what drops.csv lists, whose drops reach nodes in
# both), and no rule left in either network afterwards. A third network
# whose rank may not load rules makes the run refuse before it starts,
# naming that rank.
# Usage: mpi_networks_test.sh PALAVER_LAB PALAVER_LAB_MPI [SANITIZER]. Exit
# 77 (skipped) when it cannot run here, with the reason.
set -euo pipefail
LAB=$(readlink -f "$1")
MPI=$(readlink -f "$2")
HERE=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")

# shellcheck source=tests/lab/mpi_checks.sh
source "$HERE/mpi_checks.sh"
mpi_skip_unless_runnable "${3:-}" "the test's network namespaces (unshare -n, ip netns)" \
  mpirun unshare nsenter ip jq nft setpriv

# The test itself runs in a namespace of its own, which holds the bridge
# and mpirun; the ranks' namespaces hang off it.
if [ -z "${PALAVER_NETWORKS_NAMESPACE:-}" ]; then
  exec env PALAVER_NETWORKS_NAMESPACE=1 unshare -n bash "$(readlink -f "${BASH_SOURCE[0]}")" "$@"
fi

T=$(mktemp -d /tmp/palaver-mpinet.XXXXXX)
NS=palaver-mpinet-$$
cleanup() {
  for k in 1 2 3; do ip netns del "$NS-$k" 2> /dev/null || true; done
  rm -rf "$T"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

ip link set lo up
ip link add br0 type bridge
ip addr add 10.231.0.254/24 dev br0
ip link set br0 up
for k in 1 2 3; do
  ip netns add "$NS-$k"
  ip link add "v$k" type veth peer name eth0 netns "$NS-$k"
  ip link set "v$k" master br0 up
  nsenter --net="/run/netns/$NS-$k" ip addr add "10.231.0.$k/24" dev eth0
  nsenter --net="/run/netns/$NS-$k" ip link set eth0 up
  nsenter --net="/run/netns/$NS-$k" ip link set lo up
done
# OpenMPI's launcher for a "remote" host: the host is a namespace's name.
# Every namespace has the machine's host name, so the daemons would all make
# their session folders (ompi.HOST.UID/pid.PID/...) in one place at the same
# moment, and one of them can fail on "mkdir ... File exists": each daemon
# gets a temporary folder of its own, as it would on a host of its own.
# nsenter, not "ip netns exec": that one also remounts / and /sys in a mount
# namespace of its own, which fails ("mount --make-rslave /") where / is no
# mount point, as in a root entered by chroot; the daemons need only the
# network.
cat > "$T/agent.sh" << AGENT
#!/bin/sh
host=\$1
shift
mkdir -p "$T/tmp/\$host"
exec nsenter --net="/run/netns/\$host" env TMPDIR="$T/tmp/\$host" /bin/sh -c "\$*"
AGENT
chmod +x "$T/agent.sh"
mkdir "$T/tmp" "$T/tmp/mpirun"
# rtc_hwloc_vmhole none: no daemon writes the machine's topology into a
# shared-memory segment at a hole of its address space, which crashed a
# daemon in a minimal root (hwloc_shmem_topology_write) and which a
# container need not offer; each daemon reads the topology itself.
MPIRUN=(mpirun --allow-run-as-root --oversubscribe --mca plm_rsh_agent "$T/agent.sh" --mca btl self,tcp
  --mca btl_tcp_if_include 10.231.0.0/24 --mca oob_tcp_if_include 10.231.0.0/24 --mca rtc_hwloc_vmhole none)
RUN=(run --nodes 12 --lines 2 --loss 10 --seed 5 --port 42000)

TMPDIR="$T/tmp/mpirun" "${MPIRUN[@]}" \
  -n 1 --host "$NS-1" "$MPI" "${RUN[@]}" --bind-address 10.231.0.1 --out "$T/split" : \
  -n 1 --host "$NS-2" "$MPI" "${RUN[@]}" --bind-address 10.231.0.2 --out "$T/split" > "$T/split.out" 2>&1 ||
  { cat "$T/split.out"; fail "the run over two networks exited $?"; }
for k in 1 2; do
  left=$(nsenter --net="/run/netns/$NS-$k" nft list tables 2>&1)
  [ -z "$left" ] || fail "network $k still holds rules after the run: $left"
done

# Every node at its rank's address, node i at port 42000 + i - 1.
jq -e '[.nodes[] | select(.address != "10.231.0.\(if .node <= 6 then 1 else 2 end)@\(42000 + .node - 1)")]
  | length == 0' "$T/split/run.json" > /dev/null ||
  fail "a node is not where the host plan puts it: $(jq -c '[.nodes[].address]' "$T/split/run.json")"
# Two networks' rules, their counts together what drops.csv lists.
jq -e '.drops.networks == 2 and .drops.recorded and .drops.logged > 0 and .drops.difference == 0 and
  .parameters.network == "shared"' "$T/split/run.json" > /dev/null ||
  fail "the drops of the two networks are not recorded whole: $(jq -c .drops "$T/split/run.json")"
for k in 1 2; do
  column "$T/split/drops.csv" destination | grep -q "^10\.231\.0\.$k@" ||
    { cat "$T/split/drops.csv"; fail "no datagram to a node in network $k was dropped"; }
done
# The drops are on rank 0's clock: none after the run's end.
last=$(column "$T/split/drops.csv" ms | sort -n | tail -1)
[ "$last" -le "$(jq .end_ms "$T/split/run.json")" ] || fail "a drop at $last ms lies past the run's end"

# Rank 2's network may not hold rules (CAP_NET_ADMIN dropped there): the
# run is refused before it starts, with that rank named.
TMPDIR="$T/tmp/mpirun" "${MPIRUN[@]}" \
  -n 1 --host "$NS-1" "$MPI" "${RUN[@]}" --bind-address 10.231.0.1 --out "$T/denied" : \
  -n 1 --host "$NS-2" "$MPI" "${RUN[@]}" --bind-address 10.231.0.2 --out "$T/denied" : \
  -n 1 --host "$NS-3" setpriv --bounding-set=-net_admin --inh-caps=-net_admin \
  "$MPI" "${RUN[@]}" --bind-address 10.231.0.3 --out "$T/denied" > "$T/denied.out" 2>&1 &&
  fail "the run with a rank that may not load rules exited 0"
grep -q "palaver-lab-mpi: rank 2 on host $(hostname) may not apply loss and partitions: " "$T/denied.out" ||
  { cat "$T/denied.out"; fail "the run was not refused with rank 2 named"; }
[ ! -e "$T/denied" ] || fail "the refused run made its run folder"

echo "passed: 12 nodes in two networks, $(jq .drops.logged "$T/split/run.json") drops in both, rules gone; a rank without the right to load rules refused"
