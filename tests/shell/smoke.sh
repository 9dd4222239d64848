#!/usr/bin/env bash
# Runs the real palaver on an X display (under xvfb-run): its window must
# appear with its title and class, a node must start from typed-in values,
# and a close request must end the program with exit code 0 after a clean
# shutdown (closing report written, datagram log ended).
#   smoke.sh <palaver> <palaver_send_close> <BG1.bmp>
set -u
palaver=$1
send_close=$2
background=$3

work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/image"
cp "$background" "$work/image/BG1.bmp"
cd "$work"

fail() { echo "FAIL: $*"; exit 1; }
# Polls a command until it succeeds or `seconds` have passed.
wait_for() {
    local seconds=$1; shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

"$palaver" & pid=$!

window_listed() { xwininfo -root -tree | grep -q '"palaver": ("palaver" "PALAVER")  640x480'; }
wait_for 15 window_listed || fail "no 640x480 window titled palaver with class PALAVER"
wid=$(xwininfo -root -tree | grep '"palaver": ("palaver" "PALAVER")' | head -1 | awk '{print $1}')

# The start controls come with the second tick; type a free port and start.
port=$((40000 + $$ % 20000))
start_controls() { xdotool search --name '^palaver$' >/dev/null 2>&1; }
wait_for 5 start_controls || fail "xdotool cannot see the window"
started() { ls "$work"/127.0.0.1@"$port".txt >/dev/null 2>&1; }
for attempt in 1 2 3 4 5 6 7 8 9 10; do
    xdotool mousemove --window "$wid" 200 170 click 1 key ctrl+a type "127.0.0.1"
    xdotool mousemove --window "$wid" 160 200 click 1 key ctrl+a type "$port"
    xdotool mousemove --window "$wid" 70 415 click 1
    wait_for 1 started && break
done
started || fail "the node did not start on 127.0.0.1@$port"

"$send_close" palaver || fail "could not send the close request"
gone() { ! kill -0 "$pid" 2>/dev/null; }
wait_for 15 gone || fail "palaver did not end after the close request"
wait "$pid"
code=$?
[ "$code" -eq 0 ] || fail "exit code $code"
[ -s "status_127.0.0.1@$port.csv" ] || fail "closing report missing or empty"
tail -c 10 "127.0.0.1@$port.txt" | grep -qx "thread end" || fail "datagram log not ended"
echo "palaver opened its window, started a node and closed cleanly"
