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

if [ -n "${3:-}" ]; then
  echo "SKIPPED: a $3 sanitizer build; the mpirun run is checked in the plain build only (OpenMPI's libraries are not built for the sanitizers)"
  exit 77
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the run's network namespace (unshare -n) needs root"
  exit 77
fi
for tool in mpirun unshare ip jq nft setpriv; do
  command -v "$tool" > /dev/null || { echo "SKIPPED: $tool is missing (bash scripts/install-deps.sh test installs it)"; exit 77; }
done

T=$(mktemp -d /tmp/palaver-mpi.XXXXXX)
trap 'rm -rf "$T"' EXIT
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
INSIDE
T="$T" MPI="$MPI" NODES="$NODES" RANKS="$RANKS" SEED="$SEED" unshare -n bash "$T/inside.sh"

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

"$LAB" analyze "$T/r3" --out "$T/a3" --no-pictures > "$T/a3.out" 2>&1 || { cat "$T/a3.out"; fail "analyze failed"; }

# A CSV column by its header name.
column() { awk -F, -v name="$2" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i; next } { print $c }' "$1"; }

snapshots=$(column "$T/a3/topology.csv" ring_intact | wc -l)
[ "$snapshots" -ge 1 ] || fail "topology.csv lists no snapshot"
! column "$T/a3/topology.csv" ring_intact | grep -qv '^yes$' || { cat "$T/a3/topology.csv"; fail "a snapshot's ring is not intact"; }
! column "$T/a3/topology.csv" components | grep -qv '^1$' || { cat "$T/a3/topology.csv"; fail "more than one component"; }
[ "$(column "$T/a3/topology.csv" live | head -1)" = "$NODES" ] || fail "the first snapshot does not hold $NODES nodes"

# The typed lines (not the greetings): alive and delivered both N.
paste -d, <(column "$T/a3/messages.csv" kind) <(column "$T/a3/messages.csv" alive) \
  <(column "$T/a3/messages.csv" delivered) | awk -F, '$1 == "typed"' > "$T/typed.csv"
lines=$(wc -l < "$T/typed.csv")
[ "$lines" = 3 ] || { cat "$T/a3/messages.csv"; fail "messages.csv holds $lines typed lines, not the 3 typed"; }
awk -F, -v n="$NODES" '$2 != n || $3 != n { bad = 1 } END { exit bad }' "$T/typed.csv" ||
  { cat "$T/a3/messages.csv"; fail "a line did not reach every one of the $NODES nodes"; }

# Each node on the rank of the spread (node i, from 1, on (i - 1) * R / N),
# with that rank's host name.
jq -e --argjson n "$NODES" --argjson r "$RANKS" \
  '[.nodes[] | select(.rank != (((.node - 1) * $r / $n) | floor))] | length == 0' "$T/r3/run.json" > /dev/null ||
  fail "a node is not on the rank the spread gives it: $(jq -c '[.nodes[] | [.node, .rank]]' "$T/r3/run.json")"
[ "$(jq '[.nodes[].rank] | unique | length' "$T/r3/run.json")" = "$RANKS" ] || fail "the nodes are not on $RANKS ranks"
host=$(hostname)
jq -e --arg h "$host" '[.nodes[] | select(.host != $h)] | length == 0' "$T/r3/run.json" > /dev/null ||
  fail "a node's host is not $host"
[ "$(jq '[.nodes[] | select(.rank != 0)] | length' "$T/r1/run.json")" = 0 ] || fail "the one-rank run put a node off rank 0"

# The same seed makes the same choices on 1 and 3 ranks.
choices() { jq -c '{contacts: [.nodes[] | [.node, .contact, .join]], typists: [.lines[] | [.originator, .text]]}' "$1"; }
[ "$(choices "$T/r3/run.json")" = "$(choices "$T/r1/run.json")" ] ||
  fail "1 and 3 ranks chose differently: $(choices "$T/r1/run.json") vs $(choices "$T/r3/run.json")"

# load.csv: every node's end row, from whichever rank held it, with its
# receive thread's CPU time and at least the typed lines taken in.
ends=$(awk -F, '$1 == "end" && $7 != "" && $6 >= 3' "$T/r3/load.csv" | wc -l)
[ "$ends" = "$NODES" ] || { cat "$T/r3/load.csv"; fail "load.csv has $ends whole end rows, not $NODES"; }

# Every rank's acceptances on rank 0's clock: every typed line stamped at
# every node, none before it was typed (a rank's zero set wrongly would
# give negative delivery times), and each rank's clock placed within the
# error of its exchange (one host, one clock: the offset is 0 within it).
typed_delivery=$(paste -d, <(column "$T/a3/delivery.csv" kind) <(column "$T/a3/delivery.csv" stamped) \
  <(column "$T/a3/delivery.csv" reach50_ms) <(column "$T/a3/delivery.csv" reach100_ms) | awk -F, '$1 == "typed"')
[ "$(echo "$typed_delivery" | wc -l)" = 3 ] || { cat "$T/a3/delivery.csv"; fail "delivery.csv lacks the typed lines"; }
echo "$typed_delivery" | awk -F, -v n="$NODES" '$2 != n || $3 == "" || $3 < 0 || $4 < $3 { bad = 1 } END { exit bad }' ||
  { cat "$T/a3/delivery.csv"; fail "a typed line was not stamped at every node, or before it was typed"; }
last_stamp=$(column "$T/r3/accepts.csv" ms | sort -n | tail -1)
[ "$last_stamp" -le "$(jq .end_ms "$T/r3/run.json")" ] || fail "a stamp at $last_stamp ms lies past the run's end"
jq -e --arg h "$host" '(.ranks | length) == 3 and ([.ranks[] | select(.host != $h or .nodes != 10 or .cpu_ms <= 0
  or .peak_rss_kib <= 0 or .clock_error_us < 0 or (.clock_offset_us | fabs) > .clock_error_us + 1)] | length) == 0
  and ([.phases[] | select((.ranks | length) != 3 or ([.ranks[].rank] != [0, 1, 2]))] | length) == 0' \
  "$T/r3/run.json" > /dev/null || fail "run.json's ranks are not the 3 ranks with their figures: $(jq -c .ranks "$T/r3/run.json")"

# Every node's own files are in the one run folder: ranks 1 and 2 sent
# theirs to rank 0 (20 nodes, a log and a closing report each), and left no
# staging folder behind. With --shared-out they wrote in place.
logs=$(find "$T/r3" -maxdepth 1 -name '127.*.txt' | wc -l)
[ "$logs" = "$NODES" ] || fail "$logs datagram logs in the run folder, not $NODES"
reports=$(find "$T/r3" -maxdepth 1 -name 'status_127.*.csv' -size +0 | wc -l)
[ "$reports" = "$NODES" ] || fail "$reports closing reports with a table in the run folder, not $NODES"
grep -q "^files: 40 from ranks 1 to 2 written into the run folder" "$T/r3.out" || fail "rank 0 did not take in the 40 files"
! ls -d "${TMPDIR:-/tmp}"/palaver-lab-mpi-rank* 2> /dev/null || fail "a rank left its staging folder"
! grep -q "^files:" "$T/host.out" || fail "the --shared-out run sent files"
[ "$(find "$T/host" -maxdepth 1 -name '127.*.txt' | wc -l)" = 12 ] || fail "the --shared-out run lacks logs"
echo "passed: $NODES nodes on $RANKS ranks, ring intact at $snapshots snapshots, $lines lines at every node, same choices as 1 rank"
