#!/usr/bin/env bash
# Runs the tunnel-permit case of host_e2e_tests inside a private network namespace that has a real
# tun device named "OrvaneTun". Wine's IP helper sees the interfaces of the namespace its
# wineserver was started in, so this uses a prefix and wineserver of its own, started in there.
#   tun_namespace_test.sh WINE_EXEC PREFIX_DIR TEST_PROGRAM
# Exit code 77 (a skip for ctest) when namespaces or tun devices are not available here.
set -uo pipefail
wine_exec=$1
prefix=$2
program=$3

skip() {
  echo "SKIPPED: $*; the tunnel permit is not checked against a real interface here"
  exit 77
}
command -v unshare >/dev/null && command -v ip >/dev/null || skip "no unshare or ip"
unshare -n true 2>/dev/null || skip "no private network namespace (needs root or user namespaces)"
unshare -n bash -c 'ip tuntap add dev OrvaneTun mode tun' 2>/dev/null ||
  skip "no tun device can be made (/dev/net/tun missing?)"

mkdir -p "$prefix"

# The display comes from out here. An X server started inside would choose its display number by
# its abstract socket, which is private to the namespace, so it could take the number of a display
# the other tests use and, when it ends, delete that display's socket file under /tmp/.X11-unix:
# every window created after that fails. Started out here it gets a number of its own, and the
# programs inside reach it through the socket file.
if [ -z "${DISPLAY:-}" ]; then
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$fifo" </dev/null >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill "$xvfb" 2>/dev/null' EXIT
  read -r -t 20 number <"$fifo" || number=""
  rm -f "$fifo"
  [ -n "$number" ] || { echo "no display for the namespace"; exit 1; }
  export DISPLAY=":$number"
fi
export wine_exec prefix program
unshare -n bash -c '
  set -u
  ip link set lo up
  ip tuntap add dev OrvaneTun mode tun
  ip link set OrvaneTun up
  rc=0
  ORVANE_E2E_TUN=1 "$wine_exec" "$prefix" "$program" \
    --gtest_filter=HostTest.PermitsTheRealTunnelInterfaceByItsDefaultAlias || rc=$?
  # The wineserver and display started in here end with the namespace.
  bash "$(dirname "$wine_exec")/wine-stop.sh" "$prefix"
  exit $rc
'
