#!/usr/bin/env bash
# Load without growth: drives orvane.exe from the bundle over the stand-in engine's control pipe
# for ROUNDS rounds (default 2000), each the kill switch's whole cycle (enableKillSwitch,
# permitTunInterface, isKillSwitchEnabled, revokeTunPermit, disableKillSwitch) and ten
# setTrayConnectionState flips, and reads the host's handles, GDI and USER objects and private
# bytes from outside it: at the start, after the warm-up, half way and at the end. Prints them, the
# source of each figure under Wine, and the verdict ("flat" or "GREW"); exits non-zero on growth.
#   bash scripts/soak.sh [ROUNDS]
# The Windows suite runs the same test with 300 rounds (HostSoak.*). Uses a prefix of its own
# (build/windows/soak, created on first use) with its own Xvfb and wineserver, and stops them when
# it ends, also when it fails or is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-2000}
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target host_soak_tests
build=$(pwd)/build/windows
prefix=$build/soak
trap 'bash scripts/wine-stop.sh "$prefix"' EXIT
trap 'exit 130' INT TERM
# Some 25 rounds a second on a quiet machine; room for a busy one.
export ORVANE_WINE_TIMEOUT=$((rounds / 2 + 120))
export ORVANE_SOAK_ROUNDS=$rounds
bash scripts/wine-exec.sh "$prefix" "$build/tests/e2e/host_soak_tests.exe" \
  --gtest_filter='HostSoak.*' | grep -E '^\[ (soak|      OK|  FAILED) |Failure|grew|Expected|actual'
