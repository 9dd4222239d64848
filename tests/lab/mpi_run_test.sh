#!/usr/bin/env bash
# palaver-lab-mpi under a real mpirun: 30 nodes over 3 ranks inside a
# network namespace that holds only loopback (MPI's own traffic stays on lo
# as well). From the run folder: palaver-lab analyze sees one overlay (the
# ring intact at every snapshot, every typed line at every live node), each
# node sits on the rank the spread gives it, and the run made the same
# choices (contacts, typists) as the same seed on one rank. A run that asks
# for loss drops datagrams between the ranks' nodes, and is refused before
# it starts where the rules may not be loaded.
# The other ranks' files reach rank 0's run folder over MPI (--shared-out:
# in place).
# Usage: mpi_run_test.sh PALAVER_LAB PALAVER_LAB_MPI [SANITIZER]. Exit 77
# (skipped) when it cannot run here, with the reason.
set -euo pipefail
LAB=$(readlink -f "$1")
MPI=$(readlink -f "$2")

# shellcheck source=tests/lab/mpi_checks.sh
source "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/mpi_checks.sh"
mpi_skip_unless_runnable "${3:-}" "the run's network namespace (unshare -n)" mpirun unshare ip jq nft setpriv

T=$(mktemp -d /tmp/palaver-mpi.XXXXXX)
trap 'rm -rf "$T"' EXIT
# The ranks' own temporary folder (their staging folders, OpenMPI's session
# folder), apart from any other run's.
mkdir "$T/tmp"
NODES=30
RANKS=3
SEED=7

# Inside the namespace: lo up, then each mpirun with MPI's sockets on lo.
cat > "$T/inside.sh" << 'INSIDE'
set -u
ip link set lo up
MPIRUN=(mpirun --allow-run-as-root --oversubscribe --mca btl self,tcp --mca btl_tcp_if_include lo
  --mca oob_tcp_if_include lo)
"${MPIRUN[@]}" -n "$RANKS" "$MPI" run --nodes "$NODES" --lines 3 --seed "$SEED" --out "$T/r3" > "$T/r3.out" 2>&1
echo $? > "$T/r3.rc"
"${MPIRUN[@]}" -n 1 "$MPI" run --nodes "$NODES" --lines 3 --seed "$SEED" --out "$T/r1" > "$T/r1.out" 2>&1
echo $? > "$T/r1.rc"
"${MPIRUN[@]}" -n 3 "$MPI" run --nodes 12 --lines 2 --loss 10 --seed 3 --out "$T/lossy" > "$T/lossy.out" 2>&1
echo $? > "$T/lossy.rc"
nft list tables > "$T/tables-after.txt" 2>&1
# Without the right to change the network's rules (CAP_NET_ADMIN dropped),
# a lossy run is refused before it starts.
setpriv --bounding-set=-net_admin --inh-caps=-net_admin "${MPIRUN[@]}" -n 2 "$MPI" run --nodes 4 --loss 5 \
  --out "$T/denied" > "$T/denied.out" 2>&1
echo $? > "$T/denied.rc"
"${MPIRUN[@]}" -n "$RANKS" "$MPI" run --nodes 12 --lines 2 --bind-address 127.0.0.1 \
  --port 41000 --shared-out --out "$T/host" > "$T/host.out" 2>&1
echo $? > "$T/host.rc"
"${MPIRUN[@]}" -n 1 "$MPI" run --nodes 4 --address-plan host --out "$T/nobind" > "$T/nobind.out" 2>&1
echo $? > "$T/nobind.rc"
# The host plan's ports: up to 65535 for the last node, and not past it;
# an outside contact refused even on one rank.
"${MPIRUN[@]}" -n 1 "$MPI" run --nodes 4 --lines 1 --bind-address 127.0.0.1 --port 65532 --out "$T/lastport" \
  > "$T/lastport.out" 2>&1
echo $? > "$T/lastport.rc"
"${MPIRUN[@]}" -n 1 "$MPI" run --nodes 4 --bind-address 127.0.0.1 --port 65533 --out "$T/pastport" \
  > "$T/pastport.out" 2>&1
echo $? > "$T/pastport.rc"
"${MPIRUN[@]}" -n 1 "$MPI" run --nodes 4 --contact 127.0.0.1:5000 --out "$T/contact" > "$T/contact.out" 2>&1
echo $? > "$T/contact.rc"
INSIDE
export T MPI NODES RANKS SEED
TMPDIR="$T/tmp" unshare -n bash "$T/inside.sh"

fail() {
  echo "FAILED: $*"
  exit 1
}
for run in r3 r1 host; do
  [ "$(cat "$T/$run.rc")" = 0 ] || { cat "$T/$run.out"; fail "the $run run exited $(cat "$T/$run.rc")"; }
done
cat "$T/r3.out"

# Loss over 3 ranks: rank 0 loads the rules into the network all ranks
# share, the kernel's record of the drops matches the rules' counter, the
# datagrams to other ranks' nodes are dropped too (nodes 5-12 are on ranks
# 1 and 2), and the rules are gone with the run.
[ "$(cat "$T/lossy.rc")" = 0 ] || { cat "$T/lossy.out"; fail "the lossy run exited $(cat "$T/lossy.rc")"; }
jq -e '.drops.recorded and .drops.logged > 0 and .drops.difference == 0' "$T/lossy/run.json" > /dev/null ||
  fail "the lossy run's drops are not recorded whole: $(jq -c .drops "$T/lossy/run.json")"
awk -F, 'NR > 1 { split($4, d, "@"); split(d[1], o, "."); if (o[4] >= 5) n++ } END { exit n > 0 ? 0 : 1 }' \
  "$T/lossy/drops.csv" || { cat "$T/lossy/drops.csv"; fail "no datagram to a node of rank 1 or 2 was dropped"; }
[ ! -s "$T/tables-after.txt" ] || { cat "$T/tables-after.txt"; fail "the loss rules outlived the run"; }

# Refused before it starts: exit 2, the reason naming the rank and host, no
# run folder.
grep -q "palaver-lab-mpi: rank 0 on host $(hostname) may not apply loss and partitions: " "$T/denied.out" ||
  { cat "$T/denied.out"; fail "the lossy run without the right to load rules was not refused with its reason"; }
[ ! -e "$T/denied" ] || fail "the refused run made its run folder"
# mpirun gives a rank's non-zero status as its own.
[ "$(cat "$T/denied.rc")" -ne 0 ] || fail "the refused run exited 0"

# The host plan (which --bind-address implies): every node at the given
# address, node i at port 41000 + i - 1, one overlay all the same.
jq -e '[.nodes[] | select(.address != "127.0.0.1@\(41000 + .node - 1)")] | length == 0' "$T/host/run.json" \
  > /dev/null || fail "a node of the host plan is not where it says: $(jq -c '[.nodes[].address]' "$T/host/run.json")"
jq -e '(.nodes | length) == 12 and ([.nodes[].rank] | unique) == [0, 1, 2] and
  ([.lines[] | select(.accepted_by != 12)] | length) == 0 and (.lines | length) == 2 and .end_health.ring_intact' \
  "$T/host/run.json" > /dev/null || fail "the host plan's run is not one overlay on 3 ranks"
grep -q "palaver-lab-mpi: --address-plan host: rank 0 on host $(hostname): every rank runs on host $(hostname), with no other host to find its address toward" "$T/nobind.out" ||
  { cat "$T/nobind.out"; fail "the host plan without an address was not refused"; }
[ ! -e "$T/nobind" ] || fail "the refused host plan made its run folder"

[ "$(cat "$T/lastport.rc")" = 0 ] || { cat "$T/lastport.out"; fail "the host plan up to port 65535 exited $(cat "$T/lastport.rc")"; }
jq -e '[.nodes[].address] == ["127.0.0.1@65532", "127.0.0.1@65533", "127.0.0.1@65534", "127.0.0.1@65535"]' \
  "$T/lastport/run.json" > /dev/null || fail "the host plan's last ports: $(jq -c '[.nodes[].address]' "$T/lastport/run.json")"
for refused in "pastport:--address-plan host: 4 ports from 65533 run past 65535" \
  "contact:--contact: the ranks start their own overlay"; do
  run=${refused%%:*}
  grep -q "palaver-lab-mpi: ${refused#*:}" "$T/$run.out" || { cat "$T/$run.out"; fail "the $run run was not refused with its reason"; }
  [ "$(cat "$T/$run.rc")" -ne 0 ] || fail "the refused $run run exited 0"
  [ ! -e "$T/$run" ] || fail "the refused $run run made its run folder"
done

mpi_check_overlay "$T/r3" "$T/a3" "$NODES" 3
mpi_check_spread "$T/r3" "$NODES" "$RANKS"
mpi_check_same_choices "$T/r1" "$T/r3"
mpi_check_stamps_and_ranks "$T/r3" "$T/a3" "$NODES" 3 "$RANKS"
# Ranks 1 and 2 sent their 20 nodes' files to rank 0; with --shared-out
# they wrote in place.
mpi_check_files "$T/r3" "$NODES" 3 "$T/r3.out" "$T/tmp"
! grep -q "^files:" "$T/host.out" || fail "the --shared-out run sent files"
[ "$(find "$T/host" -maxdepth 1 -name '127.*.txt' | wc -l)" = 12 ] || fail "the --shared-out run lacks logs"
echo "passed: $NODES nodes on $RANKS ranks, ring intact at $MPI_SNAPSHOTS snapshots, 3 lines at every node, same choices as 1 rank"
