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

# palaver must open a real X window here, whatever platform the caller's
# environment names (QT_QPA_PLATFORM=offscreen would open none).
export QT_QPA_PLATFORM=xcb

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

# Start a node from the window: type 127.0.0.1 and a free port, press start.
# The controls come with the second tick, later in a slow (sanitizer) build,
# so keys sent before then are lost: press again until a node has started,
# on whatever address and port the boxes held at the press.
port=$((40000 + $$ % 20000))
wait_for 5 xdotool search --name '^palaver$' >/dev/null || fail "xdotool cannot see the window"
started() { compgen -G "$work/*@*.txt" >/dev/null; }
end=$((SECONDS + 40))
while [ $SECONDS -lt $end ]; do
    xdotool mousemove --window "$wid" 200 170 click 1 key ctrl+a type "127.0.0.1"
    xdotool mousemove --window "$wid" 160 200 click 1 key ctrl+a type "$port"
    xdotool mousemove --window "$wid" 70 415 click 1
    wait_for 2 started && break
done
started || fail "no node started"
log=$(basename "$(compgen -G "$work/*@*.txt" | head -1)")
node=${log%.txt}

"$send_close" palaver || fail "could not send the close request"
gone() { ! kill -0 "$pid" 2>/dev/null; }
wait_for 15 gone || fail "palaver did not end after the close request"
wait "$pid"
code=$?
[ "$code" -eq 0 ] || fail "exit code $code"
[ -s "status_$node.csv" ] || fail "closing report of $node missing or empty"
[ "$(tail -c 10 "$log")" = "thread end" ] || fail "datagram log of $node not ended"
echo "palaver opened its window, started a node on $node and closed cleanly"
