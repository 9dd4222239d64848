# Sourced by install-deps.sh: waits while another package manager holds one
# of apt's locks, as on a machine that has just started and is updating
# itself (unattended-upgrades, a cloud image's first boot), instead of
# stopping at once with "Could not get lock".
#
# apt and dpkg lock with fcntl(); every lock the kernel holds is a line of
# /proc/locks that names the locked file by device and inode
# ("1: POSIX  ADVISORY  WRITE 1234 fe:01:131090 0 EOF"), so the check needs
# no fuser or lsof, which a minimal root does not have. The files are
# APT_LOCK_FILES (a blank-separated list; apt's own when unset).
# APT_LOCK_WAIT is the most seconds to wait in all (1800 when unset).

apt_lock_holder() { # FILE: prints the pid that holds a lock on FILE, if one does
  local file=$1 dev ino major minor
  [ -e "$file" ] || return 1
  read -r dev ino < <(stat -L -c '%D %i' "$file") || return 1
  # stat's %D is the device number in hex, in the C library's encoding;
  # /proc/locks writes it as major:minor, each in hex with two digits or more.
  major=$(( ((0x$dev >> 8) & 0xfff) | ((0x$dev >> 32) & ~0xfff) ))
  minor=$(( (0x$dev & 0xff) | ((0x$dev >> 12) & ~0xff) ))
  awk -v want="$(printf '%02x:%02x:%s' "$major" "$minor" "$ino")" '
    { for (i = 1; i <= NF; i++) if ($i == want) { print $(i - 1); found = 1; exit } }
    END { exit !found }' /proc/locks
}

wait_for_apt_locks() {
  local files=${APT_LOCK_FILES:-/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock /var/cache/apt/archives/lock}
  local limit=${APT_LOCK_WAIT:-1800} waited=0 told="" file pid held
  while :; do
    held=""
    for file in $files; do
      if pid=$(apt_lock_holder "$file"); then
        held=$file
        break
      fi
    done
    [ -n "$held" ] || return 0
    if [ "$waited" -ge "$limit" ]; then
      echo "install-deps: $held is still held by process $pid after ${limit} s; try again when it has finished" >&2
      return 1
    fi
    if [ "$told" != "$held" ]; then
      echo "install-deps: waiting for process $pid ($(cat "/proc/$pid/comm" 2>/dev/null || echo gone)) to release $held" >&2
      told=$held
    fi
    sleep 1
    waited=$((waited + 1))
  done
}
