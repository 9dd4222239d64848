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

. "$(dirname "$0")/../shell/palaver_x.sh"

entries=("$root"/usr/share/applications/*.desktop)
[ ${#entries[@]} -eq 1 ] && [ -f "${entries[0]}" ] || fail "not one menu entry in $root/usr/share/applications"
command=$(sed -n 's/^Exec=//p' "${entries[0]}")
(cd "$start" && exec env -u XDG_DATA_HOME HOME="$home" PATH="$root/usr/bin:$PATH" $command) &
pid=$!

find_palaver_window

[ "$(readlink -f "/proc/$pid/exe")" = "$(readlink -f "$root/usr/bin/palaver")" ] \
    || fail "the window's process is $(readlink -f "/proc/$pid/exe"), not the installed palaver"
[ "$(readlink -f "/proc/$pid/cwd")" = "$(readlink -f "$folder")" ] \
    || fail "palaver runs in $(readlink -f "/proc/$pid/cwd"), not in $folder"
[ "$(readlink -f "$folder/image")" = "$(readlink -f "$root/usr/share/palaver/image")" ] \
    || fail "$folder/image does not lead to the installed picture"

start_node "$folder" 30
[ -z "$(ls -A "$start")" ] || fail "palaver wrote into the folder it was started from: $(ls -A "$start")"

if [ -n "$send_close" ]; then
    close_and_wait "$send_close"
    [ -s "$folder/status_$node.csv" ] || fail "closing report status_$node.csv missing or empty in $folder"
    [ "$(tail -c 10 "$log")" = "thread end" ] || fail "datagram log of $node not ended"
fi
echo "installed palaver started from its menu entry in $folder: $(cd "$folder" && ls | tr '\n' ' ')"
