#!/usr/bin/env bash
# Runs the MPI node host's differential test (nodehost_diff_test.cpp) under
# mpirun with two ranks, MPI's own traffic on loopback, OpenMPI's session
# folder in a temporary folder of the test's own. Where it may, it runs in a
# network namespace of its own (unshare -n, its loopback brought up), so that
# nothing else on this machine holds the addresses its nodes bind; otherwise
# on the host's loopback.
# Usage: nodehost_diff_test.sh PALAVER_LAB_MPI_TESTS [SANITIZER]. Exit 77
# (skipped) when it cannot run here, with the reason.
set -euo pipefail
TESTS=$(readlink -f "$1")
if [ -n "${2:-}" ]; then
  echo "SKIPPED: a $2 sanitizer build; MPI runs are checked in the plain build only (OpenMPI's libraries are not built for the sanitizers)"
  exit 77
fi
command -v mpirun > /dev/null || { echo "SKIPPED: mpirun is missing (bash scripts/install-deps.sh test installs it)"; exit 77; }
if [ -z "${PALAVER_NODEHOST_NAMESPACE:-}" ] && command -v unshare > /dev/null && command -v ip > /dev/null \
  && unshare -n true 2> /dev/null; then
  exec env PALAVER_NODEHOST_NAMESPACE=1 unshare -n bash "$(readlink -f "${BASH_SOURCE[0]}")" "$@"
fi
[ -z "${PALAVER_NODEHOST_NAMESPACE:-}" ] || ip link set lo up
T=$(mktemp -d /tmp/palaver-nodehost.XXXXXX)
trap 'rm -rf "$T"' EXIT
TMPDIR="$T" mpirun --allow-run-as-root --oversubscribe --bind-to none -n 2 --mca btl self,tcp \
  --mca btl_tcp_if_include lo --mca oob_tcp_if_include lo --mca rtc_hwloc_vmhole none "$TESTS"
