#!/usr/bin/env bash
# Installs the Debian 12 packages that one job needs; only those missing are
# installed. Runs as root, or through sudo when started by another user.
#   install-deps.sh run       build and run palaver (scripts/run.sh)
#   install-deps.sh package   build the Debian package (scripts/package.sh)
#   install-deps.sh test      everything: the tests, static checks, sanitizers,
#                             fuzzers, benchmarks, the lab and the package check
#                             (the default, what scripts/test.sh and CI use)
#   install-deps.sh fresh     what scripts/fresh-check.sh runs on the host to
#                             make and drive a minimal Debian 12 root
#   install-deps.sh --list JOB   prints the job's packages, installs nothing
set -euo pipefail

# Building palaver and running it: compiler, CMake, Qt 6 Widgets, Xlib (palaver
# tests its display before Qt starts), and the font of the window's Japanese
# labels.
RUN=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libx11-dev
  fonts-ipafont-gothic
)
# The package adds palaver-lab (CLI11, JSON, toml++ and Boost's statistical
# distributions at build time, libnetfilter-log for the kernel's log of the
# datagrams its rules drop) and dpkg-shlibdeps, which CPack asks for the
# package's Depends.
PACKAGE=(
  "${RUN[@]}"
  libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libboost-dev libnetfilter-log-dev
  dpkg-dev file
)
# Tests, static checks, sanitizer and fuzz builds, benchmarks, the lab's
# tools, what the static checks use (cppcheck, clang-tidy, clang-format) and
# what the package check uses (Xvfb, desktop-file-validate, groff, lintian,
# appstreamcli), the one-machine SLURM cluster of the sweep's test
# (munge, slurmctld, slurmd and the SLURM commands), and OpenMPI for
# palaver-lab-mpi and its mpirun test (libopenmpi-dev, openmpi-bin; the
# test reads run.json with jq and brings up loopback in its namespace with
# ip, which a minimal root lacks). The srun test's srun --mpi=pmix needs
# SLURM's pmix plugin (mpi_pmix.so, in slurm-wlm-basic-plugins) and the
# libpmix.so that the plugin loads when a step starts (libpmix-dev); slurmd
# and libopenmpi-dev bring both today, they are named here so that the test
# does not rest on that.
TEST=(
  "${PACKAGE[@]}"
  git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils xdotool
  clang libclang-rt-14-dev cppcheck clang-tidy clang-format
  nftables gnuplot-nox graphviz chromium libpng-dev
  desktop-file-utils groff-base lintian appstream
  munge slurmctld slurmd slurm-client slurm-wlm-basic-plugins libpmix-dev
  libopenmpi-dev openmpi-bin jq iproute2
)
# The fresh-root check: debootstrap and the archive's keys make the root,
# git clones the project into it, and an Xvfb on the host, with xwininfo,
# shows the run command's window (the root itself gets only what the
# README's commands install).
FRESH=(
  debootstrap debian-archive-keyring git
  xvfb x11-utils
)

list_only=0
if [ "${1:-}" = "--list" ]; then
  list_only=1
  shift
fi
case "${1:-test}" in
  run) PACKAGES=("${RUN[@]}") ;;
  package) PACKAGES=("${PACKAGE[@]}") ;;
  test) PACKAGES=("${TEST[@]}") ;;
  fresh) PACKAGES=("${FRESH[@]}") ;;
  *)
    echo "usage: $0 [--list] [run|package|test|fresh]" >&2
    exit 2
    ;;
esac

if [ "$list_only" -eq 1 ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "installing: ${missing[*]}"
# A machine that has just started may be updating itself: wait for its
# package manager rather than fail on apt's lock. apt-get install waits on
# its own too (DPkg::Lock::Timeout), for a lock taken between the check and
# the call; apt-get update does not, so it is tried again after a wait.
. "$(dirname "$0")/apt-lock.sh"
wait_for_apt_locks || exit 1
APT=(-o DPkg::Lock::Timeout="${APT_LOCK_WAIT:-1800}")
if ! $SUDO apt-get "${APT[@]}" update -qq; then
  wait_for_apt_locks || exit 1
  $SUDO apt-get "${APT[@]}" update -qq || exit 1
fi
wait_for_apt_locks || exit 1
DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${APT[@]}" install -y -qq --no-install-recommends "${missing[@]}"
