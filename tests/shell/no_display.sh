#!/usr/bin/env bash
# palaver without a display it can open (none named, or one that no server
# serves): one line of hint naming the program as it was started, exit code
# 1, and nothing else on either stream.
#   no_display.sh <palaver>
set -u
palaver=$1

fail() { echo "FAIL: $*"; exit 1; }
hint() { echo "palaver needs a display; without one, run it under Xvfb: xvfb-run -s '-screen 0 1024x768x24' $1"; }

# A display number that no X server on this machine uses (xvfb-run -a counts
# up from 99).
n=197
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done

# expect <how it is started> <DISPLAY value, or "unset">
expect() {
    local program=$1 display=$2 out code
    if [ "$display" = unset ]; then
        out=$(env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY -u DISPLAY "$program" 2>&1)
    else
        out=$(env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY="$display" "$program" 2>&1)
    fi
    code=$?
    [ "$code" -eq 1 ] || fail "DISPLAY $display: exit code $code, output: $out"
    [ "$out" = "$(hint "$program")" ] || fail "DISPLAY $display: output: $out"
}

expect "$palaver" unset
expect "$palaver" ":$n"
cd "$(dirname "$palaver")" || fail "no folder of $palaver"
expect "./$(basename "$palaver")" ":$n.0"
echo "palaver printed the hint and ended with 1 without a display and with DISPLAY=:$n"
