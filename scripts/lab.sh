#!/usr/bin/env bash
# Runs the four standard experiments with palaver-lab (a few minutes; not part
# of CI) and writes lab/RESULTS.md with their figures and pictures.
#
#   bash scripts/lab.sh            run everything, analyse, write lab/RESULTS.md
#   bash scripts/lab.sh --reuse    keep runs that already have a run.json
#   bash scripts/lab.sh --scenarios   run only the scenario experiments (E5 on)
#                                  and rewrite only their part of lab/RESULTS.md
#   bash scripts/lab.sh --sweeps   run only the sweeps of E1 (6 sizes x 5 seeds)
#                                  and E2 (6 loss values x 20 seeds) and rewrite
#                                  only their sections ("E1 over 5 seeds", ...)
#   bash scripts/lab.sh --causes   run E2's and E3's runs again (c2_*, c3_*) and
#                                  rewrite only their "why" sections: the cause
#                                  of every missed line and failed join, and
#                                  the delivery times
#
# The sweeps resume: a sweep folder under $LAB_WORK/sweeps keeps the runs
# that are complete, so an interrupted --sweeps goes on where it stopped.
#
# Environment: BUILD (build folder, default build), LAB_WORK (where the runs
# and reports go, default out/lab), SEED (default 1), LINES (typed lines per
# phase, default 10).
#
# The numbers in RESULTS.md are generated from the analyzer's CSV files. The
# paragraph under each experiment is read from lab/results/E<n>.md, written by
# a person after looking at those numbers; a missing one is marked as missing.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
LAB=${PALAVER_LAB:-$BUILD/lab/palaver-lab}
WORK=${LAB_WORK:-$ROOT/out/lab}
SEED=${SEED:-1}
LINES=${LINES:-10}
REUSE=0
ONLY_SCENARIOS=0
ONLY_SWEEPS=0
ONLY_CAUSES=0
for arg in "$@"; do
  case $arg in
    --reuse) REUSE=1 ;;
    --scenarios) ONLY_SCENARIOS=1 ;;
    --sweeps) ONLY_SWEEPS=1 ;;
    --causes) ONLY_CAUSES=1 ;;
    *) echo "lab.sh: unknown argument $arg (--reuse, --scenarios, --sweeps, --causes)" >&2; exit 2 ;;
  esac
done

RESULTS_DIR=$ROOT/lab/results
RESULTS=$ROOT/lab/RESULTS.md

if [ ! -x "$LAB" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DPALAVER_BUILD_SHELL=OFF >/dev/null
  cmake --build "$BUILD" --target palaver-lab -j2 >/dev/null
fi
mkdir -p "$WORK/runs" "$WORK/logs" "$WORK/reports" "$WORK/sweeps" "$RESULTS_DIR"

FAILED=()
# run NAME ARGS...: one lab run into $WORK/runs/NAME.
run() {
  local name=$1
  shift
  local dir=$WORK/runs/$name
  if [ "$REUSE" = 1 ] && [ -f "$dir/run.json" ]; then
    echo "reusing $name"
    return 0
  fi
  rm -rf "$dir"
  echo "run $name: $*"
  if ! "$LAB" run --seed "$SEED" --lines "$LINES" "$@" --out "$dir" >"$WORK/logs/$name.txt" 2>&1; then
    echo "  run $name failed (see $WORK/logs/$name.txt)"
    FAILED+=("$name")
  fi
}

# compare EXPERIMENT XPARAM RUN...: one comparison report of the runs that exist.
compare() {
  local experiment=$1 x=$2
  shift 2
  local dirs=()
  for name in "$@"; do
    [ -f "$WORK/runs/$name/run.json" ] && dirs+=("$WORK/runs/$name")
  done
  rm -rf "$WORK/reports/$experiment"
  if [ ${#dirs[@]} -eq 0 ]; then
    echo "no runs for $experiment"
    return 0
  fi
  "$LAB" analyze --compare "${dirs[@]}" --x "$x" --out "$WORK/reports/$experiment" >"$WORK/logs/analyze_$experiment.txt" 2>&1 ||
    echo "  analysis of $experiment failed (see $WORK/logs/analyze_$experiment.txt)"
}

# scenario NAME: the run of lab/scenarios/NAME.toml into $WORK/runs/s_NAME and
# its report. A run whose checks fail exits 1: that is a finding, not a failed run.
scenario() {
  local name=$1
  local dir=$WORK/runs/s_$name
  if [ "$REUSE" = 1 ] && [ -f "$dir/run.json" ]; then
    echo "reusing s_$name"
  else
    rm -rf "$dir"
    echo "run s_$name: lab/scenarios/$name.toml"
    local status=0
    "$LAB" run "$ROOT/lab/scenarios/$name.toml" --seed "$SEED" --out "$dir" >"$WORK/logs/s_$name.txt" 2>&1 || status=$?
    if [ "$status" -gt 1 ]; then
      echo "  run s_$name failed (see $WORK/logs/s_$name.txt)"
      FAILED+=("s_$name")
      return 0
    fi
  fi
  rm -rf "$WORK/reports/s_$name"
  "$LAB" analyze "$dir" --out "$WORK/reports/s_$name" >"$WORK/logs/analyze_s_$name.txt" 2>&1 ||
    echo "  analysis of s_$name failed (see $WORK/logs/analyze_s_$name.txt)"
}

# sweep NAME JOBS ARGS...: a palaver-lab sweep into $WORK/sweeps/NAME (resumed
# when it is there) and its report into $WORK/reports/NAME. Failed runs are
# recorded by the sweep itself and counted in the report.
sweep() {
  local name=$1 jobs=$2
  shift 2
  local dir=$WORK/sweeps/$name
  echo "sweep $name: $*"
  "$LAB" sweep "$@" --jobs "$jobs" --out "$dir" >"$WORK/logs/sweep_$name.txt" 2>&1 ||
    echo "  sweep $name: some runs failed or the sweep stopped (see $WORK/logs/sweep_$name.txt)"
  rm -rf "$WORK/reports/$name"
  "$LAB" analyze "$dir" --out "$WORK/reports/$name" >"$WORK/logs/analyze_$name.txt" 2>&1 ||
    echo "  analysis of $name failed (see $WORK/logs/analyze_$name.txt)"
}

E1_SIZES=(10 50 100 200 500 1000)
E2_LOSSES=(0 1 2 5 10)
E1_SEEDS=5
E2_SEEDS=20
sweeps() {
  # The large runs fill both cores on their own: one at a time, so that the
  # machine's load does not decide their join times.
  sweep E1-sweep 1 --lines "$LINES" --vary "nodes=$(IFS=,; echo "${E1_SIZES[*]}")" --seeds "1-$E1_SEEDS"
  sweep E2-sweep 2 --nodes 100 --lines "$LINES" --vary loss=0,0.5,1,2,5,10 --seeds "1-$E2_SEEDS"
}

# E2's and E3's runs again, for the causes of what they missed and their
# delivery times (drops.csv and accepts.csv).
causes() {
  for l in "${E2_LOSSES[@]}"; do run "c2_loss$l" --nodes 100 --loss "$l" --leave 0 --crash 0 --burst 0; done
  run c3_leave10 --nodes 100 --loss 0 --leave 10 --crash 0 --burst 0
  run c3_leave30 --nodes 100 --loss 0 --leave 30 --crash 0 --burst 0
  run c3_crash10 --nodes 100 --loss 0 --leave 0 --crash 10 --burst 0
  run c3_crash30 --nodes 100 --loss 0 --leave 0 --crash 30 --burst 0
  compare E2-causes loss $(printf 'c2_loss%s ' "${E2_LOSSES[@]}")
  compare E3-causes run c2_loss0 c3_leave10 c3_leave30 c3_crash10 c3_crash30
}

# ---------------------------------------------------------------------------
# The experiments

if [ "$ONLY_SWEEPS" = 1 ]; then
  sweeps
fi
if [ "$ONLY_CAUSES" = 1 ]; then
  causes
fi

if [ "$ONLY_SWEEPS" = 0 ] && [ "$ONLY_CAUSES" = 0 ]; then
SCENARIOS=(partition churn-exponential churn-pareto loss-rise)
for s in "${SCENARIOS[@]}"; do scenario "$s"; done
compare E6 run s_churn-exponential s_churn-pareto
fi

if [ "$ONLY_SCENARIOS" = 0 ] && [ "$ONLY_SWEEPS" = 0 ] && [ "$ONLY_CAUSES" = 0 ]; then
sweeps
causes
for n in "${E1_SIZES[@]}"; do run "e1_n$n" --nodes "$n" --loss 0 --leave 0 --crash 0 --burst 0; done
for l in "${E2_LOSSES[@]}"; do run "e2_loss$l" --nodes 100 --loss "$l" --leave 0 --crash 0 --burst 0; done
run e3_leave10 --nodes 100 --loss 0 --leave 10 --crash 0 --burst 0
run e3_leave30 --nodes 100 --loss 0 --leave 30 --crash 0 --burst 0
run e3_crash10 --nodes 100 --loss 0 --leave 0 --crash 10 --burst 0
run e3_crash30 --nodes 100 --loss 0 --leave 0 --crash 30 --burst 0
run e4_burst20 --nodes 100 --loss 0 --leave 0 --crash 0 --burst 20

compare E1 nodes $(printf 'e1_n%s ' "${E1_SIZES[@]}")
compare E2 loss $(printf 'e2_loss%s ' "${E2_LOSSES[@]}")
compare E3 run e2_loss0 e3_leave10 e3_leave30 e3_crash10 e3_crash30
compare E4 burst e2_loss0 e4_burst20
fi

# The 1000-node run analysed on its own, timed from outside as well.
ANALYSIS_MS=""
ANALYSIS_INNER_MS=""
if [ -f "$WORK/runs/e1_n1000/run.json" ]; then
  rm -rf "$WORK/reports/e1_n1000"
  t0=$(date +%s%N)
  "$LAB" analyze "$WORK/runs/e1_n1000" --out "$WORK/reports/e1_n1000" >"$WORK/logs/analyze_e1_n1000.txt" 2>&1 || true
  t1=$(date +%s%N)
  ANALYSIS_MS=$(((t1 - t0) / 1000000))
  ANALYSIS_INNER_MS=$(awk -F': ' '/"analysis_ms"/ {gsub(/[ ,]/, "", $2); printf "%.0f", $2}' \
    "$WORK/reports/e1_n1000/summary.json" 2>/dev/null || true)
fi

# ---------------------------------------------------------------------------
# RESULTS.md

# table CSV COLUMN[=Heading]...: a markdown table of the chosen columns.
table() {
  local csv=$1
  shift
  [ -f "$csv" ] || {
    echo "_(no data: $csv is missing)_"
    return 0
  }
  awk -v columns="$*" '
    # One CSV record into out[1..n]; quoted cells may hold commas.
    function csv(line, out,    n, i, c, f, q) {
      n = 0; f = ""; q = 0
      for (i = 1; i <= length(line); i++) {
        c = substr(line, i, 1)
        if (q) {
          if (c == "\"") { if (substr(line, i + 1, 1) == "\"") { f = f c; i++ } else q = 0 } else f = f c
        } else if (c == "\"") q = 1
        else if (c == ",") { out[++n] = f; f = "" }
        else f = f c
      }
      out[++n] = f
      return n
    }
    BEGIN { n = split(columns, want, " ") }
    NR == 1 {
      cells = csv($0, head_cells)
      for (i = 1; i <= cells; i++) col[head_cells[i]] = i
      head = "|"; rule = "|"
      for (k = 1; k <= n; k++) {
        split(want[k], p, "="); name[k] = p[1]; title = (p[2] != "" ? p[2] : p[1]); gsub(/_/, " ", title)
        head = head " " title " |"; rule = rule " ---: |"
      }
      print head; print rule; next
    }
    {
      line = "|"
      csv($0, row)
      for (k = 1; k <= n; k++) { v = (name[k] in col) ? row[col[name[k]]] : ""; gsub(/\|/, "\\|", v); line = line " " v " |" }
      delete row
      print line
    }' "$csv"
}

# picture EXPERIMENT REPORT-RELATIVE-NAME CAPTION: copy an SVG into lab/results.
picture() {
  local experiment=$1 source=$2 caption=$3
  local from=$WORK/reports/$experiment/$source.svg
  local to=$experiment"_"$(echo "$source" | tr '/' '_').svg
  if [ -f "$from" ]; then
    cp "$from" "$RESULTS_DIR/$to"
    echo "![$caption](results/$to)"
    echo
  fi
}

notes() {
  if [ -f "$RESULTS_DIR/$1.md" ]; then
    cat "$RESULTS_DIR/$1.md"
  else
    echo "_(No notes yet: write lab/results/$1.md after reading the numbers above.)_"
  fi
  echo
}

# sweep_table NAME FIGURE[=Heading]...: one row per grid point of a sweep's
# sweep.csv, each figure as its mean ± the half-width of its 95 % interval.
sweep_table() {
  local csv=$WORK/reports/$1/sweep.csv
  shift
  [ -f "$csv" ] || {
    echo "_(no data: $csv is missing)_"
    return 0
  }
  awk -F',' -v columns="$*" '
    # Four significant digits, without trailing zeros.
    function short(v) { return (v == "" ? "" : sprintf("%.4g", v)) }
    BEGIN { n = split(columns, want, " ") }
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; var = $1; next }
    {
      key = $1
      if (!(key in seen)) { seen[key] = 1; order[++points] = key }
      runs[key] = $col["runs"]; failed[key] = $col["failed"]
      cell[key, $col["figure"]] = short($col["mean"]) ($col["ci95"] == "" ? "" : " ± " short($col["ci95"]))
    }
    END {
      head = "| " var " | runs | failed |"; rule = "| ---: | ---: | ---: |"
      for (k = 1; k <= n; k++) {
        split(want[k], p, "="); name[k] = p[1]; title = (p[2] != "" ? p[2] : p[1]); gsub(/_/, " ", title)
        head = head " " title " |"; rule = rule " ---: |"
      }
      print head; print rule
      # Points in the order of their numeric value.
      for (i = 2; i <= points; i++) for (j = i; j > 1 && order[j] + 0 < order[j - 1] + 0; j--) {
        t = order[j]; order[j] = order[j - 1]; order[j - 1] = t
      }
      for (i = 1; i <= points; i++) {
        key = order[i]; line = "| " key " | " runs[key] " | " failed[key] " |"
        for (k = 1; k <= n; k++) line = line " " cell[key, name[k]] " |"
        print line
      }
    }' "$csv"
}

# sweep_section EXPERIMENT SEEDS COMMAND PICTURE TABLE-FIGURES... : the section
# of one experiment's sweep, its table, the picture of one figure against the
# varied parameter, and its notes (lab/results/<EXPERIMENT>-sweep.md).
sweep_section() {
  local experiment=$1 seeds=$2 command=$3 shown=$4
  shift 4
  local name=$experiment-sweep
  echo "### $experiment over $seeds seeds"
  echo
  local seconds
  seconds=$(awk -F',' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    $col["figure"] == "run_seconds" { s += $col["mean"] * $col["n"] } END { printf "%.0f", s }' \
    "$WORK/reports/$name/sweep.csv" 2>/dev/null || true)
  echo "Each point is an ordinary run, $seeds seeds a point; the runs took ${seconds:-?} s in all (the sum of"
  echo "their run_seconds) on this 2-core machine:"
  echo
  echo "    $command"
  echo
  echo "Mean over the seeds ± the half-width of its 95 % confidence interval (Student t), from the"
  echo "report's sweep.csv; \`runs\` counts the runs that went through, \`failed\` those that did not:"
  echo
  sweep_table "$name" "$@"
  echo
  local var
  var=$(head -n 1 "$WORK/reports/$name/sweep.csv" 2>/dev/null | cut -d, -f1)
  [ -n "$var" ] && picture "$name" "$shown-$var" "$experiment: $shown against $var, $seeds seeds a point"
  notes "$name"
}

E1_SWEEP_COMMAND="palaver-lab sweep --lines $LINES --vary nodes=10,50,100,200,500,1000 --seeds 1-$E1_SEEDS --jobs 1 --out e1"
E2_SWEEP_COMMAND="palaver-lab sweep --nodes 100 --lines $LINES --vary loss=0,0.5,1,2,5,10 --seeds 1-$E2_SEEDS --jobs 2 --out e2"
E1_SWEEP_FIGURES="join_success reliability_mean reliability_worst mean_hops max_hops stretch rmr diameter mean_distance ring_intact run_seconds"
E2_SWEEP_FIGURES="join_success reliability_mean reliability_worst complete_lines ring_intact rmr unreachable_pairs"

# splice START BEFORE FILE: RESULTS.md with the section that begins with the
# line START (up to the next heading of its level or above) replaced by FILE, or FILE put in
# before the line BEFORE when there is no such section.
splice() {
  awk -v start="$1" -v before="$2" -v file="$3" '
    function put(   line) { while ((getline line < file) > 0) print line; close(file); done = 1 }
    function level(text) { return match(text, /^#+ /) ? RLENGTH - 1 : 0 }
    BEGIN { top = level(start) }
    index($0, start) == 1 { skip = 1; put(); next }
    skip && level($0) > 0 && level($0) <= top { skip = 0 }
    !skip && !done && index($0, before) == 1 { put() }
    !skip { print }
  ' "$RESULTS"
}

# sub-report folder of a run inside a comparison, e.g. 06_e1_n1000
subreport() { ls -d "$WORK/reports/$1"/*_"$2" 2>/dev/null | head -n 1; }

# events RUN: how many nodes left, crashed and started again in a scenario run.
events() {
  local csv=$WORK/reports/s_$1/events.csv
  [ -f "$csv" ] || return 0
  awk -F',' 'NR > 1 { n[$2]++ } END {
    printf "%d left, %d crashed, %d started again, %d network changes\n", n["left"], n["crashed"], n["restarted"], n["network"] }' "$csv"
}

# causes_section EXPERIMENT WHAT: the causes of the misses and failed joins of
# the experiment's runs again (reports/EXPERIMENT-causes), and their delivery
# times.
causes_section() {
  local experiment=$1 what=$2
  local csv=$WORK/reports/$experiment-causes/compare.csv
  echo "### $experiment: why lines were missed, where joins failed, how fast lines spread"
  echo
  echo "The runs of $what again with this build (same seed; the runs above predate the kernel's drop"
  echo "record and the acceptance stamps, and timing makes runs of one seed differ), analysed for the"
  echo "cause of every missed delivery (misses.csv: each live node that did not accept a typed line) and"
  echo "the step at which every failed join broke off (failed_joins.csv); report.html lists each case."
  echo
  table "$csv" run x joins_failed misses_dropped misses_partitioned misses_cut_off misses_ended \
    misses_joined_later misses_unknown misses_unexplained failed_join_steps
  echo
  echo "Delivery times of the typed lines, from accepts.csv (the lab's clock at each acceptance): the"
  echo "median over the lines of the ms after typing by which half, 90 % and all of the nodes that"
  echo "accepted a line had done so:"
  echo
  table "$csv" run x reliability_mean reach50_ms_median reach90_ms_median reach100_ms_median mean_hops max_hops
  echo
  notes "$experiment-causes"
}

# The scenario experiments, E5 on.
scenario_sections() {
  echo "## E5: partition and heal (lab/scenarios/partition.toml)"
  echo
  table "$WORK/reports/s_partition/verdict.csv" check expected measured result
  echo
  table "$WORK/reports/s_partition/steps.csv" step lines complete reliability_mean reliability_min mean_hops max_hops rmr
  echo
  table "$WORK/reports/s_partition/health.csv" snapshot ms live ring_intact ring_cycles dangling_next components \
    unreachable_pairs
  echo
  picture s_partition health "E5: the overlay's health over time, the partition shaded"
  notes E5
  echo "## E6: churn, exponential against Pareto sessions of the same mean (churn-exponential.toml, churn-pareto.toml)"
  echo
  table "$WORK/reports/E6/compare.csv" run joins_completed joins_failed lines reliability_mean reliability_min \
    complete_lines final_live final_ring_intact final_ring_cycles final_dangling_next final_back_mismatch \
    final_components final_unreachable_pairs
  echo
  for s in churn-exponential churn-pareto; do
    echo "$s: $(events "$s")"
    echo
    table "$WORK/reports/s_$s/verdict.csv" check expected measured result
    echo
    picture "s_$s" health "E6: health over time, $s"
  done
  notes E6
  echo "## E7: loss rising to 5 % for 30 s (lab/scenarios/loss-rise.toml)"
  echo
  table "$WORK/reports/s_loss-rise/verdict.csv" check expected measured result
  echo
  table "$WORK/reports/s_loss-rise/steps.csv" step lines complete reliability_mean reliability_min mean_hops max_hops rmr
  echo
  picture s_loss-rise health "E7: health over time, the lossy span shaded"
  notes E7
}

if [ "$ONLY_SWEEPS" = 1 ]; then
  [ -f "$RESULTS" ] || { echo "lab.sh: --sweeps rewrites sections of $RESULTS, which is missing" >&2; exit 1; }
  section=$(mktemp)
  sweep_section E1 "$E1_SEEDS" "$E1_SWEEP_COMMAND" mean_hops $E1_SWEEP_FIGURES >"$section"
  splice "### E1 over" "## E2: loss" "$section" >"$RESULTS.new" && mv "$RESULTS.new" "$RESULTS"
  sweep_section E2 "$E2_SEEDS" "$E2_SWEEP_COMMAND" reliability_mean $E2_SWEEP_FIGURES >"$section"
  splice "### E2 over" "## E3: churn" "$section" >"$RESULTS.new" && mv "$RESULTS.new" "$RESULTS"
  rm -f "$section"
  echo "wrote the sweep sections of $RESULTS"
  exit 0
fi

if [ "$ONLY_CAUSES" = 1 ]; then
  [ -f "$RESULTS" ] || { echo "lab.sh: --causes rewrites sections of $RESULTS, which is missing" >&2; exit 1; }
  section=$(mktemp)
  causes_section E2 "E2 (N = 100, loss 0 to 10 %)" >"$section"
  splice "### E2: why" "## E3: churn" "$section" >"$RESULTS.new" && mv "$RESULTS.new" "$RESULTS"
  causes_section E3 "E3 (N = 100, 10 or 30 leaving or crashing)" >"$section"
  splice "### E3: why" "## E4: join burst" "$section" >"$RESULTS.new" && mv "$RESULTS.new" "$RESULTS"
  rm -f "$section"
  echo "wrote the causes sections of $RESULTS"
  [ ${#FAILED[@]} -eq 0 ] || echo "failed runs: ${FAILED[*]}"
  exit 0
fi

if [ "$ONLY_SCENARIOS" = 1 ]; then
  if [ -f "$RESULTS" ]; then
    sed '/^## E5: /,$d' "$RESULTS" >"$RESULTS.new"
  else
    echo "# palaver-lab results" >"$RESULTS.new"
    echo >>"$RESULTS.new"
  fi
  scenario_sections >>"$RESULTS.new"
  mv "$RESULTS.new" "$RESULTS"
  echo "wrote the scenario part of $RESULTS"
  [ ${#FAILED[@]} -eq 0 ] || echo "failed runs: ${FAILED[*]}"
  exit 0
fi

COMMON="run x nodes joins_completed joins_failed lines reliability_mean reliability_min complete_lines mean_hops max_hops rmr"
{
  echo "# palaver-lab results"
  echo
  echo "Written by \`bash scripts/lab.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') (seed $SEED, $LINES typed lines per phase)."
  echo "Every figure below comes from the analyzer's CSV files in \`$(realpath --relative-to="$ROOT" "$WORK")/reports\`;"
  echo "\`rmr\` is (copies - 1) / (delivered - 1) - 1, \`stretch\` is mean hops over the mean shortest path"
  echo "in the snapshot taken before the line was typed. Greetings are left out of the line figures."
  if [ ${#FAILED[@]} -gt 0 ]; then
    echo
    echo "**Runs that failed:** ${FAILED[*]}"
  fi
  echo
  echo "## E1: scale"
  echo
  table "$WORK/reports/E1/compare.csv" run nodes joins_completed reliability_mean reliability_min mean_hops max_hops \
    shortest_mean stretch rmr
  echo
  table "$WORK/reports/E1/compare.csv" run nodes final_ring_intact diameter mean_distance "predicted_distance=ln_N_/_ln(d-1)" \
    mean_out_degree in_degree_stddev in_degree_max in_degree_zero
  echo
  picture E1 compare_hops "E1: hops and distances against N"
  picture E1 compare_rmr "E1: redundancy against N"
  sub=$(subreport E1 e1_n100)
  [ -n "$sub" ] && picture E1 "$(basename "$sub")/indegree" "E1: random in-degree at N = 100"
  notes E1
  sweep_section E1 "$E1_SEEDS" "$E1_SWEEP_COMMAND" mean_hops $E1_SWEEP_FIGURES
  echo "## E2: loss"
  echo
  table "$WORK/reports/E2/compare.csv" run loss joins_completed joins_failed built_longest_cycle=nodes_on_the_main_ring \
    built_ring_cycles built_back_mismatch built_dangling_next built_ring_intact final_components final_unreachable_pairs
  echo
  table "$WORK/reports/E2/compare.csv" run loss reliability_mean reliability_min complete_lines mean_hops max_hops \
    rmr mean_out_degree
  echo
  picture E2 compare_reliability "E2: reliability against loss"
  picture E2 compare_rmr "E2: redundancy against loss"
  notes E2
  sweep_section E2 "$E2_SEEDS" "$E2_SWEEP_COMMAND" reliability_mean $E2_SWEEP_FIGURES
  causes_section E2 "E2 (N = 100, loss 0 to 10 %)"
  echo "## E3: churn"
  echo
  table "$WORK/reports/E3/compare.csv" run leave crash reliability_mean churned_reliability_mean churned_reliability_min \
    churned_rmr final_live final_ring_intact final_ring_cycles final_dangling_next final_back_mismatch \
    final_components final_unreachable_pairs leave_notices_received
  echo
  sub=$(subreport E3 e3_crash30)
  [ -n "$sub" ] && picture E3 "$(basename "$sub")/topology" "E3: topology after 30 crashes"
  sub=$(subreport E3 e3_leave30)
  [ -n "$sub" ] && picture E3 "$(basename "$sub")/reliability" "E3: reliability per line with 30 leaving"
  notes E3
  causes_section E3 "E3 (N = 100, 10 or 30 leaving or crashing)"
  echo "## E4: join burst"
  echo
  table "$WORK/reports/E4/compare.csv" run burst joins_completed joins_failed built_ring_intact built_longest_cycle \
    built_back_mismatch built_dangling_next final_ring_intact reliability_mean reliability_min complete_lines \
    mean_hops stretch diameter
  echo
  sub=$(subreport E4 e4_burst20)
  [ -n "$sub" ] && picture E4 "$(basename "$sub")/topology" "E4: topology after 20 joins through one contact"
  [ -n "$sub" ] && picture E4 "$(basename "$sub")/reliability" "E4: reliability per line after the burst"
  notes E4
  echo "## Scale"
  echo
  echo "Wall time of each phase of the lab, the process CPU time spent in it (the difference of run.json's"
  echo "cumulative \`cpu_ms\`; the nodes' receive threads included) and the peak RSS at its end."
  echo
  echo "| N | phase | wall ms | CPU ms | peak RSS MiB |"
  echo "| ---: | --- | ---: | ---: | ---: |"
  for n in 10 100 500 1000; do
    sub=$(subreport E1 "e1_n$n")
    [ -n "$sub" ] && [ -f "$sub/phases.csv" ] || continue
    awk -F',' -v n="$n" 'NR > 1 {
      rss = ($6 == "" ? "" : sprintf("%.1f", $6 / 1024)); cpu = ($5 == "" ? "" : $5 - prev); prev = $5
      print "| " n " | " $1 " | " $4 " | " cpu " | " rss " |" }' "$sub/phases.csv"
  done
  echo
  if [ -n "$ANALYSIS_MS" ]; then
    echo "Analysing the 1000-node run (\`palaver-lab analyze\`, CSV files, pictures and page): $ANALYSIS_MS ms wall,"
    echo "of which $ANALYSIS_INNER_MS ms reading and replaying the logs and computing the figures (the rest is writing the files and drawing the pictures)."
  else
    echo "_(The 1000-node run is missing, so its analysis time is too.)_"
  fi
  echo
  notes Scale
  scenario_sections
} >"$RESULTS"

echo "wrote $RESULTS"
[ ${#FAILED[@]} -eq 0 ] || echo "failed runs: ${FAILED[*]}"
