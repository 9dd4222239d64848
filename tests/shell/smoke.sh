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

. "$(dirname "$0")/palaver_x.sh"

"$palaver" & pid=$!

find_palaver_window
wait_for 5 xdotool search --name '^palaver$' >/dev/null || fail "xdotool cannot see the window"
# Start a node from the window: type 127.0.0.1 and a free port, press start.
start_node "$work" 40

close_and_wait "$send_close"
[ -s "status_$node.csv" ] || fail "closing report of $node missing or empty"
[ "$(tail -c 10 "$log")" = "thread end" ] || fail "datagram log of $node not ended"
echo "palaver opened its window, started a node on $node and closed cleanly"
