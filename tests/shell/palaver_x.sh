# Shared steps of the tests that drive a real palaver window on an X display
# (sourced by tests/shell/smoke.sh and tests/package/run_installed.sh).

fail() { echo "FAIL: $*"; exit 1; }

# wait_for <seconds> <command...>: polls the command until it succeeds.
wait_for() {
    local seconds=$1; shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

window_listed() { xwininfo -root -tree | grep -q '"palaver": ("palaver" "PALAVER")  640x480'; }

# Waits for the 640x480 window titled palaver with class PALAVER; sets wid.
find_palaver_window() {
    wait_for 15 window_listed || fail "no 640x480 window titled palaver with class PALAVER"
    wid=$(xwininfo -root -tree | grep '"palaver": ("palaver" "PALAVER")' | head -1 | awk '{print $1}')
}

# start_node <folder> <seconds>: types 127.0.0.1 and a free port into the
# window and presses start until a datagram log appears in <folder>. The
# controls come with the second tick, later in a slow (sanitizer) build, so
# keys sent before then are lost: press again until a node has started, on
# whatever address and port the boxes held at the press. Sets log to the
# log's path and node to its "<ip>@<port>".
start_node() {
    local folder=$1 seconds=$2
    local port=$((40000 + $$ % 20000))
    node_log_found() { compgen -G "$folder/*@*.txt" >/dev/null; }
    local end=$((SECONDS + seconds))
    while [ $SECONDS -lt $end ]; do
        xdotool mousemove --window "$wid" 200 170 click 1 key ctrl+a type "127.0.0.1"
        xdotool mousemove --window "$wid" 160 200 click 1 key ctrl+a type "$port"
        xdotool mousemove --window "$wid" 70 415 click 1
        wait_for 2 node_log_found && break
    done
    node_log_found || fail "no datagram log in $folder after pressing start"
    log=$(compgen -G "$folder/*@*.txt" | head -1)
    node=$(basename "$log" .txt)
}

# close_and_wait <send_close>: sends the window manager's close request and
# waits for palaver (process $pid) to end with exit code 0.
close_and_wait() {
    "$1" palaver || fail "could not send the close request"
    palaver_gone() { ! kill -0 "$pid" 2>/dev/null; }
    wait_for 15 palaver_gone || fail "palaver did not end after the close request"
    wait "$pid"
    local code=$?
    pid=""
    [ "$code" -eq 0 ] || fail "exit code $code"
}
