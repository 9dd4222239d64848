#!/usr/bin/env bash
# Checks the Debian package as a user would get it: its control fields and
# Depends (every shared library the programs load comes from a package it
# depends on; nothing that only a build needs), its file list, and, unpacked
# with dpkg -x into a temporary root, the menu entry, the AppStream metadata,
# the Debian changelog, the man pages, lintian and appstreamcli
# (lint_package.sh) and a real start of palaver through the menu entry's
# command under Xvfb (run_installed.sh).
#   check_package.sh [--send-close PROGRAM] [palaver_*.deb]
# Without a .deb it builds one with scripts/package.sh. --send-close names
# the tool of the shell tests that closes the window as its close box does.
set -u
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

send_close=""
if [ "${1:-}" = "--send-close" ]; then
    send_close=$(readlink -f "$2")
    shift 2
fi
deb=${1:-}
if [ -z "$deb" ]; then
    deb=$(bash "$repo/scripts/package.sh" | tail -1) || { echo "FAIL: scripts/package.sh"; exit 1; }
fi
[ -f "$deb" ] || { echo "FAIL: no package at '$deb'"; exit 1; }
echo "checking $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# --- control fields
version=$(sed -n 's/^project(palaver VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
# The AppStream component id, which also names the menu entry's file.
app_id=$(sed -n 's/^set(PALAVER_APP_ID \([^ )]*\))$/\1/p' "$repo/packaging/CMakeLists.txt")
[ -n "$app_id" ] || fail "no PALAVER_APP_ID in packaging/CMakeLists.txt"
[ "$(dpkg-deb -f "$deb" Package)" = palaver ] || fail "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "version $(dpkg-deb -f "$deb" Version), project $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Package names alone, one a line.
dep_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d')
for needed in libqt6widgets6 fonts-ipafont-gothic; do
    grep -qx "$needed" <<<"$dep_names" || fail "Depends lacks $needed"
done
build_only=$(grep -E -- '-dev$|-dev-tools$|^build-essential$|^cmake|^pkg-config$|^(gcc|g\+\+|clang)|cppcheck|googletest|^libgtest|^libgmock|^libbenchmark|^dpkg-dev$|^xvfb$|^xdotool$' <<<"$dep_names")
[ -z "$build_only" ] || fail "Depends holds build-only packages: $(echo $build_only)"

# --- file list
dpkg-deb -c "$deb" > "$work/contents"
files=$(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's|^\./|/|')
for f in /usr/bin/palaver /usr/bin/palaver-launch /usr/bin/randprobe /usr/bin/palaver-lab \
         /usr/share/palaver/image/BG1.bmp /usr/share/applications/$app_id.desktop \
         /usr/share/metainfo/$app_id.metainfo.xml \
         /usr/share/doc/palaver/copyright /usr/share/doc/palaver/changelog.Debian.gz \
         /usr/share/lintian/overrides/palaver \
         /usr/share/icons/hicolor/16x16/apps/palaver.png /usr/share/icons/hicolor/32x32/apps/palaver.png \
         /usr/share/icons/hicolor/48x48/apps/palaver.png /usr/share/icons/hicolor/scalable/apps/palaver.svg \
         /usr/share/man/man1/palaver.1.gz /usr/share/man/man1/palaver-launch.1.gz \
         /usr/share/man/man1/randprobe.1.gz /usr/share/man/man1/palaver-lab.1.gz; do
    grep -qx "$f" <<<"$files" || fail "package lacks $f"
done
stray=$(grep -vE '^/usr/bin/[^/]+$|^/usr/share/(palaver/image|applications|metainfo|icons/hicolor/[^/]+/apps|man/man1|doc/palaver)/[^/]+$|^/usr/share/lintian/overrides/palaver$' <<<"$files")
[ -z "$stray" ] || fail "unexpected files: $(echo $stray)"
not_root=$(awk '$2 != "root/root" {print $6}' "$work/contents")
[ -z "$not_root" ] || fail "not owned by root: $(echo $not_root)"
bad_mode=$(awk '$1 !~ /^d/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" {print $6}' "$work/contents")
[ -z "$bad_mode" ] || fail "programs not rwxr-xr-x: $(echo $bad_mode)"

# --- unpacked tree
root=$work/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }

# Each program: loads nothing from a build folder, and every library it
# names comes from a package in Depends.
owner() {  # Debian package that holds a library path (with or without /usr)
    local path=$1 alt
    case $path in /usr/*) alt=${path#/usr} ;; *) alt=/usr$path ;; esac
    dpkg-query -S "$path" 2>/dev/null || dpkg-query -S "$alt" 2>/dev/null
}
for program in "$root"/usr/bin/*; do
    file -b "$program" | grep -q '^ELF' || continue
    name=$(basename "$program")
    if readelf -d "$program" | grep -qE 'RPATH|RUNPATH'; then
        fail "$name carries a library search path: $(readelf -d "$program" | grep -E 'RPATH|RUNPATH')"
    fi
    ldd "$program" > "$work/ldd" 2>&1
    grep -q 'not found' "$work/ldd" && fail "$name: $(grep 'not found' "$work/ldd")"
    for lib in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        path=$(awk -v lib="$lib" '$1 == lib {print $3}' "$work/ldd")
        package=$(owner "$path" | head -1 | cut -d: -f1)
        if [ -z "$package" ]; then
            fail "$name: no Debian package holds $lib ($path)"
        elif ! grep -qx "$package" <<<"$dep_names"; then
            fail "$name needs $lib from $package, which Depends lacks"
        fi
    done
done

# Menu entry: valid, its command installed, its icon in the theme.
entry=$root/usr/share/applications/$app_id.desktop
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $app_id.desktop"
[ "$(ls "$root/usr/share/applications")" = "$app_id.desktop" ] \
    || fail "menu entries other than $app_id.desktop: $(ls "$root/usr/share/applications")"
command=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -x "$root/usr/bin/$command" ] || fail "menu entry runs '$command', not installed in /usr/bin"
icon=$(sed -n 's/^Icon=//p' "$entry")
for size in 16x16 32x32 48x48; do
    [ -s "$root/usr/share/icons/hicolor/$size/apps/$icon.png" ] || fail "no $size icon '$icon'"
done
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" || fail "no scalable icon '$icon'"

# AppStream metadata: about this component, launching its menu entry, with
# the project's version as its newest release.
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    field() { sed -n "s|.*<$1[^>]*>\(.*\)</$1>.*|\1|p" "$metainfo" | head -1; }
    [ "$(field id)" = "$app_id" ] || fail "metainfo id '$(field id)', not $app_id"
    [ "$(field launchable)" = "$app_id.desktop" ] || fail "metainfo launches '$(field launchable)', not $app_id.desktop"
    release=$(sed -n 's|.*<release version="\([^"]*\)".*|\1|p' "$metainfo" | head -1)
    [ "$release" = "$version" ] || fail "metainfo's newest release '$release', project $version"
fi

# Debian changelog: its newest entry is this package's version, by its maintainer.
gzip -dc "$root/usr/share/doc/palaver/changelog.Debian.gz" > "$work/changelog" 2>/dev/null \
    || fail "changelog.Debian.gz does not decompress"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>/dev/null)" = "$(dpkg-deb -f "$deb" Version)" ] \
    || fail "changelog's newest version '$(dpkg-parsechangelog -l "$work/changelog" -S Version 2>/dev/null)', package $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Maintainer 2>/dev/null)" = "$(dpkg-deb -f "$deb" Maintainer)" ] \
    || fail "changelog's newest entry is not by the package's Maintainer"

# lintian and appstreamcli
bash "$here/lint_package.sh" "$deb" "$root" || fail "lintian or appstreamcli"

# Man pages: one per program, and groff reads each without a warning.
for program in "$root"/usr/bin/*; do
    page=$root/usr/share/man/man1/$(basename "$program").1.gz
    if [ ! -f "$page" ]; then
        fail "no man page for $(basename "$program")"
        continue
    fi
    warnings=$(gzip -dc "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "man page $(basename "$page"): $warnings"
done

# --- the menu entry's command starts palaver in the per-user folder
if [ "$failures" -eq 0 ]; then
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$here/run_installed.sh" "$root" $send_close \
        || fail "the installed palaver did not start as the menu starts it"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures package checks failed"
    exit 1
fi
echo "package checks passed"
