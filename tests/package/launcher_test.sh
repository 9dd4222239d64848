#!/usr/bin/env bash
# The launcher palaver-launch against an installed tree of its own with a
# stand-in palaver that records where it was started: the per-user folder it
# picks, the image/ link it makes, and what it leaves alone.
#   launcher_test.sh <configured palaver-launch>
set -u
launcher=$1

t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
mkdir -p "$t/usr/bin" "$t/usr/share/palaver/image" "$t/home" "$t/elsewhere"
cp "$launcher" "$t/usr/bin/palaver-launch"
chmod 755 "$t/usr/bin/palaver-launch"
echo picture > "$t/usr/share/palaver/image/BG1.bmp"
cat > "$t/usr/bin/palaver" <<'STAND_IN'
#!/bin/sh
pwd -P > "$RECORD"
STAND_IN
chmod 755 "$t/usr/bin/palaver"
picture=$(cd "$t/usr/share/palaver/image" && pwd -P)

failures=0
check() {  # check <what> <expected> <actual>
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected '$2', got '$3'"
        failures=$((failures + 1))
    fi
}
# launch <XDG_DATA_HOME or "unset"> [launcher path]: runs from another folder,
# prints the folder the stand-in palaver ran in.
launch() {
    export RECORD=$t/record
    rm -f "$RECORD"
    local xdg=$1 path=${2:-$t/usr/bin/palaver-launch}
    if [ "$xdg" = unset ]; then
        (cd "$t/elsewhere" && env -u XDG_DATA_HOME HOME="$t/home" "$path") || return 1
    else
        (cd "$t/elsewhere" && env XDG_DATA_HOME="$xdg" HOME="$t/home" "$path") || return 1
    fi
    cat "$RECORD"
}
link_of() { (cd "$1/image" 2>/dev/null && pwd -P); }

default=$t/home/.local/share/palaver
check "folder without XDG_DATA_HOME" "$default" "$(launch unset)"
check "image link in it" "$picture" "$(link_of "$default")"
check "picture through the link" picture "$(cat "$default/image/BG1.bmp")"
check "folder with an empty XDG_DATA_HOME" "$default" "$(launch '')"
check "folder with a relative XDG_DATA_HOME" "$default" "$(launch 'relative/data')"
[ -e "$t/elsewhere/relative" ] && check "nothing made in the start folder" "" "$(ls "$t/elsewhere")"

mkdir -p "$t/xdg"
check "folder under XDG_DATA_HOME" "$t/xdg/palaver" "$(launch "$t/xdg")"
check "image link under XDG_DATA_HOME" "$picture" "$(link_of "$t/xdg/palaver")"

# Launching again keeps the link as it is and writes nothing into the
# installed tree.
launch unset >/dev/null
check "link after a second launch" "$picture" "$(link_of "$default")"
check "installed picture folder untouched" BG1.bmp "$(ls "$picture")"

# A link to another install's picture, or to one that is gone, points at
# this install's picture again.
mkdir -p "$t/other-install"
ln -sfn "$t/other-install" "$default/image"
launch unset >/dev/null
check "link to another install replaced" "$picture" "$(link_of "$default")"
check "other install untouched" "" "$(ls "$t/other-install")"
ln -sfn "$t/old-install/share/palaver/image" "$default/image"
check "folder with a stale link" "$default" "$(launch unset)"
check "stale link replaced" "$picture" "$(link_of "$default")"

# A picture folder that the user made there is theirs.
rm "$default/image"
mkdir "$default/image"
echo own > "$default/image/BG1.bmp"
launch unset >/dev/null
check "user's own image folder kept" own "$(cat "$default/image/BG1.bmp")"
check "nothing added to the user's image folder" BG1.bmp "$(ls "$default/image")"
[ -L "$default/image" ] && check "user's own image folder not a link" folder link

# Started through a link elsewhere on the PATH, it still finds its tree.
ln -s "$t/usr/bin/palaver-launch" "$t/elsewhere/palaver-launch"
check "folder when started through a link" "$t/xdg/palaver" "$(launch "$t/xdg" "$t/elsewhere/palaver-launch")"
rm "$t/elsewhere/palaver-launch"

# Without the installed picture it says so and starts nothing.
mv "$t/usr/share/palaver/image" "$t/usr/share/palaver/moved"
if out=$(launch "$t/xdg" 2>&1); then
    check "exit status without the picture" failure success
fi
check "message without the picture" 1 "$(grep -c 'background picture is missing' <<<"$out")"
check "palaver not started without the picture" absent "$([ -e "$RECORD" ] && echo present || echo absent)"

if [ "$failures" -ne 0 ]; then
    echo "$failures launcher checks failed"
    exit 1
fi
echo "launcher checks passed"
