#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench/) and runs them all, then writes
# bench/RESULTS.md. Takes a few minutes; nothing here fails on timing.
#   bash scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=build-bench
OUT=bench/RESULTS.md
TMP=$(mktemp -d)
XVFB_PID=""
cleanup() {
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  rm -rf "$TMP"
}
trap cleanup EXIT

echo "=== build"
cmake -S . -B "$BUILD" -DPALAVER_BUILD_BENCH=ON -DPALAVER_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target palaver_micro_bench palaver_overlay_bench palaver_throughput_bench
HAVE_SHELL=1
cmake --build "$BUILD" -j "$(nproc)" --target palaver_screen_bench palaver_window_bench palaver || HAVE_SHELL=0
BIN=$BUILD/bench

load() { cut -d' ' -f1-3 /proc/loadavg; }
LOAD_START=$(load)

# Google Benchmark JSON -> Markdown rows: name, median real and CPU time
# over the repetitions. $2 is a jq object mapping a name prefix to a target.
bench_table() {
  local json=$1 targets=$2
  echo "| benchmark | median time | median CPU | counters | target |"
  echo "|---|---|---|---|---|"
  jq -r --argjson t "$targets" '
    .benchmarks[] | select(.aggregate_name == "median") |
    . as $b |
    ([$t | to_entries[] | select(.key as $k | $b.run_name | startswith($k)) | .value] | first // "-") as $target |
    ([to_entries[] | select(.key | IN("name","family_index","per_family_instance_index","run_name","run_type",
        "repetitions","threads","aggregate_name","aggregate_unit","iterations","real_time","cpu_time","time_unit",
        "repetition_index") | not) | "\(.key)=\(.value | if type == "number" then (. * 100 | round / 100) else . end)"] | join(" ")) as $c |
    "| `\(.run_name)` | \(.real_time * 100 | round / 100) \(.time_unit) | \(.cpu_time * 100 | round / 100) \(.time_unit) | \($c) | \($target) |"
  ' "$json"
}

echo "=== micro-benchmarks"
"$BIN/palaver_micro_bench" --benchmark_repetitions=5 --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$TMP/micro.json" \
  --benchmark_out_format=json >/dev/null

echo "=== receive-loop throughput"
"$BIN/palaver_throughput_bench" 5 2 > "$TMP/throughput.md"

echo "=== overlay of N nodes"
"$BIN/palaver_overlay_bench" 10 50 100 200 > "$TMP/overlay.md"

if [ "$HAVE_SHELL" = 1 ]; then
  echo "=== status screen"
  QT_QPA_PLATFORM=offscreen "$BIN/palaver_screen_bench" --benchmark_repetitions=5 --benchmark_min_time=0.2 \
    --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$TMP/screen.json" \
    --benchmark_out_format=json >/dev/null 2>"$TMP/screen.err"

  echo "=== window under Xvfb"
  DISPLAY_NO=""
  for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then DISPLAY_NO=$n; break; fi
  done
  PLATFORM_ENV=(QT_QPA_PLATFORM=offscreen)
  if command -v Xvfb >/dev/null && [ -n "$DISPLAY_NO" ]; then
    Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 -nolisten tcp >"$TMP/xvfb.log" 2>&1 &
    XVFB_PID=$!
    sleep 1
    PLATFORM_ENV=(DISPLAY=":$DISPLAY_NO" QT_QPA_PLATFORM=xcb)
  fi
  : > "$TMP/window.md"
  for members in 0 10000; do
    env "${PLATFORM_ENV[@]}" "$BIN/palaver_window_bench" "$members" 10 "$ROOT/image/BG1.bmp" 3 \
      >> "$TMP/window.md" 2>>"$TMP/window.err" || echo "| $members | failed, see stderr | | | | |" >> "$TMP/window.md"
  done

  # The program itself, left idle at its start screen: CPU from
  # /proc/<pid>/stat over 10 s (after 3 s of start-up), resident memory.
  mkdir -p "$TMP/run/image" && cp image/BG1.bmp "$TMP/run/image/"
  cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
  PROGRAM_ROWS=""
  SHARES=()
  for run in 1 2 3; do
    (cd "$TMP/run" && exec env "${PLATFORM_ENV[@]}" "$ROOT/$BUILD/shell/palaver" >/dev/null 2>&1) &
    PID=$!
    sleep 3
    T0=$(cpu_ticks $PID); S0=$(date +%s.%N)
    sleep 10
    T1=$(cpu_ticks $PID); S1=$(date +%s.%N)
    RSS=$(awk '/VmRSS/ {print $2}' "/proc/$PID/status")
    kill "$PID"; wait "$PID" 2>/dev/null || true
    SHARE=$(awk -v a="$T0" -v b="$T1" -v s="$S0" -v e="$S1" -v hz="$(getconf CLK_TCK)" \
      'BEGIN { printf "%.2f", 100 * (b - a) / hz / (e - s) }')
    SHARES+=("$SHARE")
    PROGRAM_ROWS+="| $run | $SHARE % | $(awk -v k="$RSS" 'BEGIN { printf "%.1f MiB", k / 1024 }') |"$'\n'
  done
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; XVFB_PID=""; fi
fi

LOAD_END=$(load)
echo "=== writing $OUT"
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bash scripts/bench.sh\` (Release build in build-bench/). Figures are medians over several runs."
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r), $(awk '/MemTotal/ {printf "%.1f GiB RAM", $2/1048576}' /proc/meminfo)"
  echo "- Load average (1, 5, 15 min) at start: $LOAD_START; at end: $LOAD_END. The machine is shared with other builds; higher load lowers every rate and raises every time below."
  echo "- Commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- node shell bench ':!bench/RESULTS.md' || echo ' (with uncommitted changes in node/, shell/ or bench/)')"
  echo
  echo "## Per-datagram costs (Google Benchmark, 5 repetitions)"
  echo
  echo "Without sockets: the node is not started, and every send goes to a hook that counts it. The node has a ring of one and three random peers, so every accepted chat datagram is forwarded five times. \`HandleChat_Accepted/M\`: a member table of M members, each datagram a newer line from a member drawn in random order (parse, lookup, history, new header, five sends). \`HandleChat_Duplicate/M\`: a copy that was seen already and is dropped. The receive loop may spend about 50 µs per pass beyond its 1 ms sleep, and the sleep itself takes most of that on this machine (see below), so the target for one datagram's work is a few µs."
  echo
  bench_table "$TMP/micro.json" '{"BM_Parse":"a few µs","BM_Compose":"a few µs","BM_Forward":"a few µs","BM_HandleChat":"a few µs, no growth beyond log(M)","BM_StatusReport":"none (on demand and at thread end)","BM_WriteStatusReport":"none (on demand and at thread end)"}'
  echo
  cat "$TMP/throughput.md"
  cat "$TMP/overlay.md"
  echo "## Window"
  echo
  if [ "$HAVE_SHELL" = 1 ]; then
    echo "### One redraw of the status screen into the back buffer (Google Benchmark, offscreen, 5 repetitions)"
    echo
    echo "A node in phase 2 with 10,000 members, a history of 10,001 lines and three random peers: a full screen (43 history lines and 25 member lines reach the 480-pixel buffer). \`DrawStatusScreen\` is what a tick's drawing costs while nothing on the screen changes (snapshot and lines are made and compared with the picture already painted; nothing is painted); the next three are its steps, \`RenderItems\` being the full repaint a tick does when a line has changed; \`RenderBackgroundOnly\` is the fixed part (background copy and black box, no text). Target: a full tick below 2 ms."
    echo
    bench_table "$TMP/screen.json" '{"BM_DrawStatusScreen":"< 2 ms","BM_RenderItems":"< 2 ms (with the rest)"}'
    echo
    echo "### The shell running, node started, left idle"
    echo
    echo "The real shell (main window, tick loop, control panel, status screen) in one process under ${PLATFORM_ENV[*]}: the node is started on 127.0.0.1 through the start button's command, 2 s pass, then 10 s idle. CPU share: the process's CPU time (getrusage) over those 10 s, as a share of one core; median of 3 runs (runs in brackets). Tick: every tick of the idle periods (control swap, requests, drawing, and the repaint and copy onto the window when a line has changed), pooled over the runs. With 10,000 members the table and history are filled before the start, so the screen is full; a tick repaints it only when a line changes. Targets: idle CPU below 1 % of one core; a tick below 2 ms."
    echo
    echo "| members | platform | idle CPU, one core (median; runs) | tick median / 90th pct / worst | ticks | resident memory at end |"
    echo "|---|---|---|---|---|---|"
    cat "$TMP/window.md"
    echo
    echo "### The program \`palaver\` at its start screen"
    echo
    echo "\`build-bench/shell/palaver\` started under ${PLATFORM_ENV[*]} in a folder holding image/BG1.bmp, left alone (node not started; the status screen is still drawn every tick and repainted only when it changes): CPU from utime + stime in /proc/<pid>/stat over 10 s after 3 s of start-up, as a share of one core; VmRSS at the end. Target: below 1 %. Median: $(printf '%s\n' "${SHARES[@]}" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}') %."
    echo
    echo "| run | CPU, one core | resident memory |"
    echo "|---|---|---|"
    printf '%s' "$PROGRAM_ROWS"
  else
    echo "The shell did not build (target palaver_shell); the window figures are missing from this run."
  fi
  echo
  echo "## What limits the figures"
  echo
  echo "- Receive loop: a pass is the datagram's work plus a 1 ms sleep. The receive thread already sets its timer slack to 1 ns, and the sleep alone still ends tens of µs late on this virtual machine (the line under the throughput table); the datagram's own work adds only a few µs (the per-datagram table). When the share stays under 95 %, the sleep's wake-up latency and the load on the machine are what is left, not the node's code."
  echo "- Busy overlays: every pass costs the receive thread tens of µs of CPU (the 1 ms sleep's wake-up and the receive, mostly in the kernel; CPU per pass in the throughput table). N nodes that are all busy at once ask for N × 1000 such passes a second, which 2 cores cannot give once N is in the tens; the per-node rate then falls as N grows while the process uses what CPU the machine leaves it. A node with a core to itself runs at the single-node rate."
  echo "- Window: a full repaint costs about a millisecond, nearly all of it text drawing (RenderItems against RenderBackgroundOnly), so a tick repaints and copies the picture only when one of its lines has changed; an idle window costs the loop's 10 ms passes and one snapshot of the node per tick."
} > "$OUT"
echo "done: $OUT"
