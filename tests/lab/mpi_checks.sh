# shellcheck shell=bash
# Checks of a palaver-lab-mpi run folder, for the tests that start it under
# mpirun and under srun. Sourced, not run. The sourcing test sets LAB (the
# palaver-lab program) and defines fail MESSAGE (print it and exit 1); each
# check calls fail on the first fault it finds. Needs jq.

# mpi_skip_unless_runnable SANITIZER WHY_ROOT TOOL...: exits 77 with one
# line when the test cannot run here: in a sanitizer build (the sanitizers
# would also watch OpenMPI's own uninstrumented libraries), when not root
# (WHY_ROOT says what needs it), or when a TOOL is missing.
mpi_skip_unless_runnable() {
  local sanitizer=$1 why_root=$2 tool
  shift 2
  if [ -n "$sanitizer" ]; then
    echo "SKIPPED: a $sanitizer sanitizer build; MPI runs are checked in the plain build only (OpenMPI's libraries are not built for the sanitizers)"
    exit 77
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: $why_root needs root"
    exit 77
  fi
  for tool in "$@"; do
    command -v "$tool" > /dev/null || { echo "SKIPPED: $tool is missing (bash scripts/install-deps.sh test installs it)"; exit 77; }
  done
}

# A CSV column by its header name.
column() { awk -F, -v name="$2" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i; next } { print $c }' "$1"; }

# mpi_check_overlay RUN REPORT NODES LINES: palaver-lab analyze RUN into
# REPORT sees one overlay: the ring intact and one component at every
# snapshot, all NODES at the first, and each of the LINES typed lines alive
# at and delivered to all NODES. Sets MPI_SNAPSHOTS to the snapshots seen.
mpi_check_overlay() {
  local run=$1 report=$2 nodes=$3 lines=$4 typed
  "$LAB" analyze "$run" --out "$report" --no-pictures > "$report.out" 2>&1 || { cat "$report.out"; fail "analyze $run failed"; }
  MPI_SNAPSHOTS=$(column "$report/topology.csv" ring_intact | wc -l)
  [ "$MPI_SNAPSHOTS" -ge 1 ] || fail "topology.csv lists no snapshot"
  ! column "$report/topology.csv" ring_intact | grep -qv '^yes$' || { cat "$report/topology.csv"; fail "a snapshot's ring is not intact"; }
  ! column "$report/topology.csv" components | grep -qv '^1$' || { cat "$report/topology.csv"; fail "more than one component"; }
  [ "$(column "$report/topology.csv" live | head -1)" = "$nodes" ] || fail "the first snapshot does not hold $nodes nodes"

  # The typed lines (not the greetings): alive and delivered both N.
  paste -d, <(column "$report/messages.csv" kind) <(column "$report/messages.csv" alive) \
    <(column "$report/messages.csv" delivered) | awk -F, '$1 == "typed"' > "$report.typed.csv"
  typed=$(wc -l < "$report.typed.csv")
  [ "$typed" = "$lines" ] || { cat "$report/messages.csv"; fail "messages.csv holds $typed typed lines, not the $lines typed"; }
  awk -F, -v n="$nodes" '$2 != n || $3 != n { bad = 1 } END { exit bad }' "$report.typed.csv" ||
    { cat "$report/messages.csv"; fail "a line did not reach every one of the $nodes nodes"; }
}

# mpi_check_spread RUN NODES RANKS: each node on the rank of the spread
# (node i, from 1, on (i - 1) * R / N), all RANKS ranks used, and every
# node's host this machine's name (one machine runs every rank here).
mpi_check_spread() {
  local run=$1 nodes=$2 ranks=$3 host
  jq -e --argjson n "$nodes" --argjson r "$ranks" \
    '[.nodes[] | select(.rank != (((.node - 1) * $r / $n) | floor))] | length == 0' "$run/run.json" > /dev/null ||
    fail "a node is not on the rank the spread gives it: $(jq -c '[.nodes[] | [.node, .rank]]' "$run/run.json")"
  [ "$(jq '.nodes | length' "$run/run.json")" = "$nodes" ] || fail "run.json does not list $nodes nodes"
  [ "$(jq '[.nodes[].rank] | unique | length' "$run/run.json")" = "$ranks" ] || fail "the nodes are not on $ranks ranks"
  host=$(hostname)
  jq -e --arg h "$host" '[.nodes[] | select(.host != $h)] | length == 0' "$run/run.json" > /dev/null ||
    fail "a node's host is not $host: $(jq -c '[.nodes[].host] | unique' "$run/run.json")"
}

# mpi_check_same_choices ONE MANY: the one-rank run ONE kept every node on
# rank 0, and the run MANY on more ranks made the same choices from the same
# seed (contacts and joins, typists and their lines).
mpi_check_same_choices() {
  local one=$1 many=$2
  [ "$(jq '[.nodes[] | select(.rank != 0)] | length' "$one/run.json")" = 0 ] || fail "the one-rank run put a node off rank 0"
  choices() { jq -c '{contacts: [.nodes[] | [.node, .contact, .join]], typists: [.lines[] | [.originator, .text]]}' "$1"; }
  [ "$(choices "$many/run.json")" = "$(choices "$one/run.json")" ] ||
    fail "1 rank and more chose differently: $(choices "$one/run.json") vs $(choices "$many/run.json")"
}

# mpi_check_stamps_and_ranks RUN REPORT NODES LINES RANKS: every rank's
# acceptances on rank 0's clock (after mpi_check_overlay made REPORT): each
# of the LINES typed lines stamped at all NODES, none before it was typed
# (a rank's zero set wrongly gives negative delivery times), none after the
# run's end (a rank without its zero stamps from its clock's epoch); and
# run.json's ranks: all RANKS with this host, their nodes, CPU time and
# peak memory, each clock placed within the error of its exchange (one
# host, one clock: the true offset is 0), and every phase's figures of
# every rank.
mpi_check_stamps_and_ranks() {
  local run=$1 report=$2 nodes=$3 lines=$4 ranks=$5 typed last
  typed=$(paste -d, <(column "$report/delivery.csv" kind) <(column "$report/delivery.csv" stamped) \
    <(column "$report/delivery.csv" reach50_ms) <(column "$report/delivery.csv" reach100_ms) | awk -F, '$1 == "typed"')
  [ "$(echo "$typed" | wc -l)" = "$lines" ] || { cat "$report/delivery.csv"; fail "delivery.csv lacks the typed lines"; }
  echo "$typed" | awk -F, -v n="$nodes" '$2 != n || $3 == "" || $3 < 0 || $4 < $3 { bad = 1 } END { exit bad }' ||
    { cat "$report/delivery.csv"; fail "a typed line was not stamped at every node, or before it was typed"; }
  last=$(column "$run/accepts.csv" ms | sort -n | tail -1)
  [ "$last" -le "$(jq .end_ms "$run/run.json")" ] || fail "a stamp at $last ms lies past the run's end"
  jq -e --arg h "$(hostname)" --argjson n "$nodes" --argjson r "$ranks" '(.ranks | length) == $r and
    ([.ranks[].nodes] | add) == $n and ([.ranks[] | select(.host != $h or .cpu_ms <= 0 or .peak_rss_kib <= 0
    or .clock_error_us < 0 or (.clock_offset_us | fabs) > .clock_error_us + 1)] | length) == 0 and
    ([.phases[] | select([.ranks[].rank] != [range($r)])] | length) == 0' "$run/run.json" > /dev/null ||
    fail "run.json's ranks are not the $ranks ranks with their figures: $(jq -c .ranks "$run/run.json")"
}

# mpi_check_files RUN NODES LINES OUTPUT TMP: every node's own files are in
# the one run folder, where the ranks other than 0 sent theirs (a log and a
# closing report a node; rank 0 says how many in its OUTPUT), none left a
# staging folder in TMP (the TMPDIR the ranks had: the test's own, so that
# another test's run going on meanwhile is not taken for a leftover), and
# load.csv has every node's end row with its receive
# thread's CPU time and at least the LINES typed lines taken in.
mpi_check_files() {
  local run=$1 nodes=$2 lines=$3 output=$4 tmp=$5 ends logs reports sent last
  ends=$(awk -F, -v l="$lines" '$1 == "end" && $7 != "" && $6 >= l' "$run/load.csv" | wc -l)
  [ "$ends" = "$nodes" ] || { cat "$run/load.csv"; fail "load.csv has $ends whole end rows, not $nodes"; }
  logs=$(find "$run" -maxdepth 1 -name '127.*.txt' | wc -l)
  [ "$logs" = "$nodes" ] || fail "$logs datagram logs in the run folder, not $nodes"
  reports=$(find "$run" -maxdepth 1 -name 'status_127.*.csv' -size +0 | wc -l)
  [ "$reports" = "$nodes" ] || fail "$reports closing reports with a table in the run folder, not $nodes"
  sent=$((2 * $(jq '[.nodes[] | select(.rank != 0)] | length' "$run/run.json")))
  last=$(($(jq '[.nodes[].rank] | max' "$run/run.json")))
  grep -q "^files: $sent from ranks 1 to $last written into the run folder" "$output" ||
    { cat "$output"; fail "rank 0 did not take in the $sent files of ranks 1 to $last"; }
  ! ls -d "$tmp"/palaver-lab-mpi-rank* 2> /dev/null || fail "a rank left its staging folder"
}
