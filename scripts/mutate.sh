#!/usr/bin/env bash
# Plants realistic single faults in lab/ and node/ one at a time, rebuilds the
# test program of the fault's area, runs the tests the fault names, restores
# the file and prints a table: which test caught each fault, or SURVIVED.
# Run it before a change to lab/ or node/ is called done (not part of CI).
#
#   bash scripts/mutate.sh                 every fault of scripts/mutations.txt;
#                                          writes the table to bench/mutation.md
#   bash scripts/mutate.sh --area lab      the lab's faults only (or node)
#   bash scripts/mutate.sh --only ID,ID    these faults only
#   bash scripts/mutate.sh --list          the faults, nothing built
#   bash scripts/mutate.sh --check         whether every fault's text is in
#                                          its file exactly once, nothing built
#   bash scripts/mutate.sh --out FILE      write the table there too (a subset
#                                          writes no file unless asked)
#   bash scripts/mutate.sh --only ID --update FILE
#                                          run these faults again and replace
#                                          their rows in the table FILE (the
#                                          totals are counted over all its rows)
#   bash scripts/mutate.sh --no-baseline   skip the check that the named tests
#                                          pass on the unchanged sources
#   bash scripts/mutate.sh --faults FILE   plant the faults of another list in
#                                          the same format (its ids need not
#                                          name an area); the table then has a
#                                          row for the whole list too
#
# Environment: BUILD (build folder, default build-mut, configured when
# missing without optimisation or debug information, which builds quickest
# once per fault), JOBS (build jobs, default 2), TEST_TIMEOUT (seconds per fault's
# test run, default 300; a run cut off counts as caught, marked "timeout").
#
# Each fault in scripts/mutations.txt is a block of "key: value" lines:
#   id     its name (lab-..., node-...: the area is the part before the dash;
#          an id that names no area takes the area of its file's folder,
#          lab/ or node/)
#   file   the source it changes
#   find   the exact text, which must occur exactly once in the file (a line
#          break in it is written <NL>)
#   repl   what replaces it
#   words  what the fault does
#   tests  a GoogleTest filter over the area's test program (optional; the
#          whole program without it); "define: NAME=FILTER" lines name
#          filters that tests use as @NAME
#   ctest  a CTest regular expression (optional): when the test program
#          does not catch the fault, these CTest tests of the build folder
#          run too (the shell tests of palaver-lab-mpi and the sweep, for
#          sources the test program does not hold); the whole build is
#          rebuilt for them
#   origin who wrote it and when (optional), e.g. "blind 2026-12-11" for a
#          fault written from the product code and its references without
#          reading the tests; the table shows it and counts each origin
#          kind on its own
# A fault whose text is missing or occurs more than once is "stale" and
# counted nowhere; one that does not build is "does not compile". The kill
# ratio of an area is caught / (caught + survived); the exit status is 1 when
# one is below 90 %, or when a fault is stale or the unchanged tests fail.
set -uo pipefail
shopt -u patsub_replacement 2>/dev/null || true
CALLER=$(pwd)
cd "$(dirname "$0")/.."
ROOT=$(pwd)

LIST=$ROOT/scripts/mutations.txt
BUILD=${BUILD:-$ROOT/build-mut}
JOBS=${JOBS:-2}
TEST_TIMEOUT=${TEST_TIMEOUT:-300}
AREA=""
ONLY=""
LIST_ONLY=0
OUT=""
UPDATE=""
BASELINE=1

usage() {
  echo "usage: $0 [--faults FILE] [--area lab|node] [--only ID,ID...] [--list] [--check] [--out FILE] [--update FILE] [--no-baseline]" >&2
  exit 2
}
while [ "$#" -gt 0 ]; do
  case $1 in
    --area)
      AREA=${2:-}
      [ "$AREA" = lab ] || [ "$AREA" = node ] || usage
      shift
      ;;
    --only)
      ONLY=${2:-}
      [ -n "$ONLY" ] || usage
      shift
      ;;
    --out)
      OUT=${2:-}
      [ -n "$OUT" ] || usage
      shift
      ;;
    --update)
      UPDATE=${2:-}
      [ -f "$UPDATE" ] || { echo "$0: --update needs an existing table, not '${UPDATE}'" >&2; exit 2; }
      OUT=$UPDATE
      shift
      ;;
    --faults)
      LIST=${2:-}
      case $LIST in /*) ;; ?*) LIST=$CALLER/$LIST ;; esac
      [ -f "$LIST" ] || { echo "$0: --faults needs a fault list, not '${LIST}'" >&2; exit 2; }
      LIST=$(cd "$(dirname "$LIST")" && pwd)/$(basename "$LIST")
      shift
      ;;
    --list) LIST_ONLY=1 ;;
    --check) LIST_ONLY=2 ;;
    --no-baseline) BASELINE=0 ;;
    *) usage ;;
  esac
  shift
done
DEFAULT_LIST=0
[ "$LIST" = "$ROOT/scripts/mutations.txt" ] && DEFAULT_LIST=1
if [ "$DEFAULT_LIST" -eq 1 ] && [ -z "$AREA" ] && [ -z "$ONLY" ] && [ -z "$OUT" ]; then OUT=$ROOT/bench/mutation.md; fi

# --- the fault list -------------------------------------------------------
ids=() files=() finds=() repls=() words=() tests=() origins=() areas=() ctests=()
declare -A defines=()
add_entry() {
  [ -n "$e_id" ] || return 0
  if [ -z "$e_file" ] || [ -z "$e_find" ] || [ -z "$e_words" ]; then
    echo "$LIST: fault '$e_id' needs file, find and words" >&2
    exit 2
  fi
  local filter="" part
  if [ -n "$e_tests" ]; then
    IFS=: read -r -a parts <<< "$e_tests"
    for part in "${parts[@]}"; do
      if [[ $part == @* ]]; then
        [ -n "${defines[${part#@}]:-}" ] || { echo "$LIST: fault '$e_id' names no defined filter $part" >&2; exit 2; }
        part=${defines[${part#@}]}
      fi
      filter=${filter:+$filter:}$part
    done
  fi
  local area=${e_id%%-*}
  if [ "$area" != lab ] && [ "$area" != node ] || [ "$area" = "$e_id" ]; then
    area=${e_file%%/*}
    if [ "$area" != lab ] && [ "$area" != node ]; then
      echo "$LIST: fault '$e_id' names no area (lab-, node-) and its file is in neither lab/ nor node/" >&2
      exit 2
    fi
  fi
  local id
  for id in "${ids[@]}"; do
    [ "$id" != "$e_id" ] || { echo "$LIST: fault '$e_id' is listed twice" >&2; exit 2; }
  done
  ids+=("$e_id") files+=("$e_file") finds+=("$e_find") repls+=("$e_repl") words+=("$e_words") tests+=("$filter")
  origins+=("$e_origin") areas+=("$area") ctests+=("$e_ctest")
}
e_id="" e_file="" e_find="" e_repl="" e_words="" e_tests="" e_origin="" e_ctest=""
lineno=0
while IFS= read -r line || [ -n "$line" ]; do
  lineno=$((lineno + 1))
  case $line in
    '#'*) continue ;;
    '')
      add_entry
      e_id="" e_file="" e_find="" e_repl="" e_words="" e_tests="" e_origin="" e_ctest=""
      continue
      ;;
  esac
  key=${line%%:*}
  value=${line#*:}
  value=${value# }
  value=${value//<NL>/$'\n'}
  case $key in
    define) defines[${value%%=*}]=${value#*=} ;;
    id) e_id=$value ;;
    file) e_file=$value ;;
    find) e_find=$value ;;
    repl) e_repl=$value ;;
    words) e_words=$value ;;
    tests) e_tests=$value ;;
    origin) e_origin=$value ;;
    ctest) e_ctest=$value ;;
    *)
      echo "$LIST:$lineno: unknown key '$key'" >&2
      exit 2
      ;;
  esac
done < "$LIST"
add_entry

target_of() { [ "$1" = node ] && echo palaver_node_tests || echo palaver_lab_tests; }
binary_of() { [ "$1" = node ] && echo "$BUILD/tests/palaver_node_tests" || echo "$BUILD/tests/lab/palaver_lab_tests"; }

selected=()
for i in "${!ids[@]}"; do
  if [ -n "$AREA" ] && [ "${areas[$i]}" != "$AREA" ]; then continue; fi
  if [ -n "$ONLY" ] && [[ ",$ONLY," != *",${ids[$i]},"* ]]; then continue; fi
  selected+=("$i")
done
if [ -n "$ONLY" ]; then
  IFS=, read -r -a wanted <<< "$ONLY"
  for w in "${wanted[@]}"; do
    found=0
    for i in "${!ids[@]}"; do [ "${ids[$i]}" = "$w" ] && found=1; done
    [ "$found" -eq 1 ] || { echo "$0: no fault '$w' in $LIST" >&2; exit 2; }
  done
fi

read_file() { # the file's exact text into the variable `text`
  text=$(cat "$1"; printf x)
  text=${text%x}
}
occurrences() { # of $2 in $1
  local rest=${1//"$2"/}
  echo $(((${#1} - ${#rest}) / ${#2}))
}

if [ "$LIST_ONLY" -eq 1 ]; then
  for i in "${selected[@]}"; do
    printf '%-36s %-32s %s\n' "${ids[$i]}" "${files[$i]}" "${words[$i]}"
  done
  exit 0
fi
if [ "$LIST_ONLY" -eq 2 ]; then
  bad=0
  for i in "${selected[@]}"; do
    n=0
    if [ -f "${files[$i]}" ]; then
      read_file "${files[$i]}"
      n=$(occurrences "$text" "${finds[$i]}")
    fi
    if [ "$n" -ne 1 ]; then
      echo "${ids[$i]}: its text is in ${files[$i]} $n times" >&2
      bad=1
    fi
  done
  [ "$bad" -eq 0 ] && echo "${#selected[@]} faults, each text in its file exactly once"
  exit "$bad"
fi
[ "${#selected[@]}" -gt 0 ] || { echo "$0: no fault selected" >&2; exit 2; }

# --- planting and restoring ----------------------------------------------
WORK=$(mktemp -d)
planted=""
restore() {
  if [ -n "$planted" ]; then
    # A plain copy: the restored file is newer than the faulty build, so the
    # next build compiles it again.
    cp "$WORK/original" "$ROOT/$planted"
    planted=""
  fi
}
trap 'restore; rm -rf "$WORK"' EXIT
trap 'echo; echo "$0: interrupted; $planted restored" >&2; exit 130' INT TERM

configure() {
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=None -DPALAVER_BUILD_SHELL=OFF -DPALAVER_WERROR=ON -DPALAVER_BUILD_TESTS=ON \
      -DPALAVER_BUILD_LAB=ON > "$WORK/configure.log" 2>&1 || {
      cat "$WORK/configure.log" >&2
      echo "$0: cannot configure $BUILD" >&2
      exit 2
    }
  fi
}
build() { cmake --build "$BUILD" --target "$1" -j "$JOBS" > "$WORK/build.log" 2>&1; }

# run_ctest REGEX: the CTest tests it names, in the build folder; sets
# `caught` (the failed tests, or "") and `ran` (tests run).
run_ctest() {
  local log=$WORK/ctest.log
  (cd "$BUILD" && timeout -k 10 "$TEST_TIMEOUT" ctest -R "$1" --output-on-failure) > "$log" 2>&1
  local status=$?
  ran=$(sed -nE 's/^[0-9]+% tests passed, [0-9]+ tests failed out of ([0-9]+).*/\1/p' "$log" | tail -1)
  ran=${ran:-0}
  # A skipped test (exit 77) ran nothing that could catch the fault.
  ran=$((ran - $(grep -c '\*\*\*Skipped' "$log")))
  caught=""
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    caught="timeout"
  elif [ "$status" -ne 0 ]; then
    caught=$(sed -nE 's/^[[:space:]]*[0-9]+ - ([A-Za-z0-9_]+) \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)\).*/\1/p' "$log" | paste -sd, -)
    [ -n "$caught" ] || caught="ctest status $status"
  fi
}

# run_tests AREA FILTER: runs the tests; sets `caught` (the first failed test,
# "timeout", "crash (status N)" or "") and `ran` (tests run).
run_tests() {
  local bin filter log status
  bin=$(binary_of "$1")
  filter=${2:-*}
  log=$WORK/test.log
  (cd "$(dirname "$bin")" && timeout -k 10 "$TEST_TIMEOUT" "$bin" --gtest_filter="$filter" --gtest_color=no) \
    > "$log" 2>&1
  status=$?
  ran=$(sed -nE 's/^\[==========\] ([0-9]+) tests? from .* ran\..*/\1/p' "$log" | tail -1)
  ran=${ran:-0}
  caught=""
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    caught="timeout"
  elif [ "$status" -ne 0 ]; then
    # The tests that failed, in the order they ran (the first three named).
    caught=$(sed -nE 's/^\[  FAILED  \] ([A-Za-z0-9_/.]+)( \(.*)?$/\1/p' "$log" | awk '!seen[$0]++' |
      awk '{ if (NR <= 3) names = names (NR > 1 ? ", " : "") $0 } END { if (NR > 3) names = names " and " NR - 3 " more"; printf "%s", names }')
    [ -n "$caught" ] || caught="crash (status $status)"
  fi
}

# A fault can leave the lab's nftables table in this network namespace (a
# run on the host's network that loaded loss rules it was never allowed to,
# and so never takes out): every later test that sends between nodes here
# would then lose datagrams and fail, and every later fault would look
# caught. The table must not be here before the check, and is taken out
# after any fault that leaves it.
lab_table_here() { command -v nft > /dev/null && nft list table ip palaver_lab > /dev/null 2>&1; }
if lab_table_here; then
  echo "$0: the lab's nftables table is in this network namespace (another run's, or left by a fault);" \
    "take it out first: nft delete table ip palaver_lab" >&2
  exit 2
fi

configure
STAMP=$(date -u '+%Y-%m-%d %H:%M UTC')
COMMIT=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- 2>/dev/null || COMMIT="$COMMIT + uncommitted changes"

# The named tests must pass on the unchanged sources, or every fault would
# look caught.
if [ "$BASELINE" -eq 1 ]; then
  declare -A filters=()
  for i in "${selected[@]}"; do
    a=${areas[$i]}
    f=${tests[$i]:-*}
    case ":${filters[$a]:-}:" in *":$f:"*) ;; *) filters[$a]=${filters[$a]:+${filters[$a]}:}$f ;; esac
  done
  for a in "${!filters[@]}"; do
    echo "baseline: building $(target_of "$a") and running the $a tests the faults name" >&2
    if ! build "$(target_of "$a")"; then
      tail -30 "$WORK/build.log" >&2
      echo "$0: the unchanged sources do not build" >&2
      exit 1
    fi
    run_tests "$a" "${filters[$a]}"
    if [ -n "$caught" ]; then
      tail -40 "$WORK/test.log" >&2
      echo "$0: the unchanged sources fail $caught; fix that first" >&2
      exit 1
    fi
  done
  ctest_all=""
  for i in "${selected[@]}"; do
    [ -z "${ctests[$i]}" ] || ctest_all=${ctest_all:+$ctest_all|}${ctests[$i]}
  done
  if [ -n "$ctest_all" ]; then
    echo "baseline: building everything and running the CTest tests the faults name" >&2
    build all || { tail -30 "$WORK/build.log" >&2; echo "$0: the unchanged sources do not build" >&2; exit 1; }
    run_ctest "$ctest_all"
    if [ -n "$caught" ] || [ "$ran" -eq 0 ]; then
      tail -40 "$WORK/ctest.log" >&2
      echo "$0: the CTest tests the faults name fail or do not run on the unchanged sources (${caught:-none ran}); fix that first" >&2
      exit 1
    fi
  fi
fi

# --- the faults -------------------------------------------------------------
declare -A rows=()
rerun=()
for i in "${selected[@]}"; do
  id=${ids[$i]} file=${files[$i]} area=${areas[$i]}
  start=$SECONDS
  result=""
  if [ ! -f "$ROOT/$file" ]; then
    result="stale (no such file)"
  else
    read_file "$ROOT/$file"
    n=$(occurrences "$text" "${finds[$i]}")
    if [ "$n" -ne 1 ]; then
      result="stale (text found $n times)"
    fi
  fi
  if [ -z "$result" ]; then
    cp "$ROOT/$file" "$WORK/original"
    planted=$file
    printf '%s' "${text/"${finds[$i]}"/"${repls[$i]}"}" > "$ROOT/$file"
    if ! build "$(target_of "$area")"; then
      result="does not compile"
    else
      run_tests "$area" "${tests[$i]}"
      if [ "$ran" -eq 0 ] && [ -z "$caught" ]; then
        result="stale (the filter names no test)"
      elif [ -n "$caught" ]; then
        result="caught: $caught"
      elif [ -n "${ctests[$i]}" ]; then
        if ! build all; then
          result="does not compile"
        else
          run_ctest "${ctests[$i]}"
          if [ -n "$caught" ]; then
            result="caught: $caught"
          elif [ "$ran" -eq 0 ]; then
            result="SURVIVED (its CTest tests were skipped)"
          else
            result="SURVIVED"
          fi
        fi
      else
        result="SURVIVED"
      fi
    fi
    restore
    if lab_table_here; then
      nft delete table ip palaver_lab
      result="$result (it left the lab's nftables table behind; taken out)"
    fi
  fi
  seconds=$((SECONDS - start))
  echo "$id  $result  (${seconds}s)" >&2
  rows[$id]="| $id | \`$file\` | ${words[$i]//|/\\|} | $result | $seconds | ${origins[$i]:-} |"
  rerun+=("$id")
done
# The sources are as they were; bring the build back to them.
build "$(target_of "${areas[${selected[0]}]}")" || true

# --- the table --------------------------------------------------------------
header="Run on $STAMP at commit $COMMIT by \`bash scripts/mutate.sh\`: each fault
planted alone, its area's tests rebuilt and run, the file restored."
if [ -n "$UPDATE" ]; then
  # The rows of the other faults, and the lines above the table, as they were.
  header=""
  while IFS= read -r line; do
    case $line in
      '# Mutation check' | '') ;;
      '| fault |'*) break ;;
      *) header+=${header:+$'\n'}$line ;;
    esac
  done < "$UPDATE"
  header+=$'\n'"Rerun on $STAMP at commit $COMMIT: ${rerun[*]}."
  while IFS= read -r line; do
    [[ $line == '| '* ]] || continue
    id=$(echo "$line" | cut -d'|' -f2 | tr -d ' ')
    [ -n "${rows[$id]:-}" ] || rows[$id]=$line
  done < <(sed -n '/^| fault |/,/^$/p' "$UPDATE" | tail -n +3)
fi
declare -A killed=() survived=() broken=()
stale=0
table="# Mutation check

$header

| fault | file | what it changes | result | s | written |
|---|---|---|---|---|---|
"
count() { # count KEY RESULT
  case $2 in
    caught:*) killed[$1]=$((${killed[$1]:-0} + 1)) ;;
    SURVIVED*) survived[$1]=$((${survived[$1]:-0} + 1)) ;;
    'does not compile'*) broken[$1]=$((${broken[$1]:-0} + 1)) ;;
  esac
}
for i in "${!ids[@]}"; do
  id=${ids[$i]}
  row=${rows[$id]:-}
  [ -n "$row" ] || continue
  table+="$row
"
  a=${areas[$i]}
  result=$(echo "$row" | awk -F' [|] ' '{print $4}')
  case $result in
    caught:* | SURVIVED* | 'does not compile'*) ;;
    *) stale=$((stale + 1)) ;;
  esac
  # The faults written blind (origin "blind ...") are counted apart as well:
  # they say how well the tests catch faults their authors did not plant.
  kind=earlier
  [[ ${origins[$i]:-} == blind* ]] && kind=blind
  count "$a" "$result"
  count "$a $kind" "$result"
  count "all" "$result"
done
table+="
| faults | caught | survived | does not compile | kill ratio |
|---|---|---|---|---|
"
status=0
# total_row KEY LABEL CHECKED: a row of the totals; CHECKED=1 makes a ratio
# below 90 % fail the run.
total_row() {
  local k=${killed[$1]:-0} s=${survived[$1]:-0} b=${broken[$1]:-0} ratio ratio_text
  [ $((k + s + b)) -gt 0 ] || return 0
  if [ $((k + s)) -gt 0 ]; then
    ratio=$((1000 * k / (k + s)))
    ratio_text="$((ratio / 10)).$((ratio % 10)) %"
    [ "$3" -eq 0 ] || [ "$ratio" -ge 900 ] || status=1
  else
    ratio_text="-"
  fi
  table+="| $2 | $k | $s | $b | $ratio_text |
"
}
for a in lab node; do
  total_row "$a" "$a/" 1
  # The split by origin only where both kinds are there.
  if [ -n "${killed[$a blind]:-}${survived[$a blind]:-}${broken[$a blind]:-}" ] &&
    [ -n "${killed[$a earlier]:-}${survived[$a earlier]:-}${broken[$a earlier]:-}" ]; then
    total_row "$a blind" "$a/, written blind" 0
    total_row "$a earlier" "$a/, written with the tests" 0
  fi
done
[ "$DEFAULT_LIST" -eq 1 ] || total_row all "the whole list ($(basename "$LIST"))" 1
if [ "$stale" -gt 0 ]; then
  table+="
$stale fault(s) stale: their text is not in the file exactly once, or their filter names no test; fix
$(basename "$LIST").
"
  status=1
fi
printf '%s' "$table"
if [ -n "$OUT" ]; then
  printf '%s' "$table" > "$OUT"
  echo "table written to $OUT" >&2
fi
exit "$status"
