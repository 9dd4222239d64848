#!/usr/bin/env bash
# Starts palaver from a tree unpacked from the package, as the menu entry
# starts it (its Exec command, found on the PATH), with HOME in a temporary
# folder and XDG_DATA_HOME unset. The window must appear, the process must
# be the installed palaver running in ~/.local/share/palaver with image/
# linked to the installed picture, and a node started from the window must
# write its log there, and nothing into the folder it was started from.
# With the close tool of the shell tests, the window's close box must end it
# cleanly, with its closing report in the same folder.
#   run_installed.sh <root> [palaver_send_close]     (under xvfb-run)
# <root> is where the package was unpacked, or / where it is installed.
set -u
root=$1
send_close=${2:-}

t=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$t"' EXIT
home=$t/home
start=$t/start
mkdir "$home" "$start"
mkdir -m 700 "$t/runtime"
export XDG_RUNTIME_DIR=$t/runtime
folder=$home/.local/share/palaver

fail() { echo "FAIL: $*"; exit 1; }
wait_for() {  # wait_for <seconds> <command...>: polls until it succeeds
    local seconds=$1; shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

command=$(sed -n 's/^Exec=//p' "$root/usr/share/applications/palaver.desktop")
(cd "$start" && exec env -u XDG_DATA_HOME HOME="$home" PATH="$root/usr/bin:$PATH" $command) &
pid=$!

window_listed() { xwininfo -root -tree | grep -q '"palaver": ("palaver" "PALAVER")  640x480'; }
wait_for 15 window_listed || fail "no 640x480 window titled palaver with class PALAVER"
wid=$(xwininfo -root -tree | grep '"palaver": ("palaver" "PALAVER")' | head -1 | awk '{print $1}')

[ "$(readlink -f "/proc/$pid/exe")" = "$(readlink -f "$root/usr/bin/palaver")" ] \
    || fail "the window's process is $(readlink -f "/proc/$pid/exe"), not the installed palaver"
[ "$(readlink -f "/proc/$pid/cwd")" = "$(readlink -f "$folder")" ] \
    || fail "palaver runs in $(readlink -f "/proc/$pid/cwd"), not in $folder"
[ "$(readlink -f "$folder/image")" = "$(readlink -f "$root/usr/share/palaver/image")" ] \
    || fail "$folder/image does not lead to the installed picture"

# Start a node as tests/shell/smoke.sh does: the controls come with the
# second tick, so press again until the node's log appears.
port=$((40000 + $$ % 20000))
started() { compgen -G "$folder/*@*.txt" >/dev/null; }
end=$((SECONDS + 30))
while [ $SECONDS -lt $end ]; do
    xdotool mousemove --window "$wid" 200 170 click 1 key ctrl+a type "127.0.0.1"
    xdotool mousemove --window "$wid" 160 200 click 1 key ctrl+a type "$port"
    xdotool mousemove --window "$wid" 70 415 click 1
    wait_for 2 started && break
done
started || fail "no datagram log in $folder after pressing start"
log=$(compgen -G "$folder/*@*.txt" | head -1)
node=$(basename "$log" .txt)
[ -z "$(ls -A "$start")" ] || fail "palaver wrote into the folder it was started from: $(ls -A "$start")"

if [ -n "$send_close" ]; then
    "$send_close" palaver || fail "could not send the close request"
    gone() { ! kill -0 "$pid" 2>/dev/null; }
    wait_for 15 gone || fail "palaver did not end after the close request"
    wait "$pid"
    code=$?
    pid=""
    [ "$code" -eq 0 ] || fail "exit code $code"
    [ -s "$folder/status_$node.csv" ] || fail "closing report status_$node.csv missing or empty in $folder"
    [ "$(tail -c 10 "$log")" = "thread end" ] || fail "datagram log of $node not ended"
fi
echo "installed palaver started from its menu entry in $folder: $(cd "$folder" && ls | tr '\n' ' ')"
