#!/usr/bin/env bash
# Ends what scripts/wine-exec.sh left running for a prefix: the wineserver and the Xvfb.
#   wine-stop.sh PREFIX_DIR
set -u
prefix=$1
[ -d "$prefix" ] || exit 0
prefix=$(cd "$prefix" && pwd)  # Wine ignores a relative WINEPREFIX
WINEPREFIX=$prefix/wine wineserver -k >/dev/null 2>&1 || true
if [ -s "$prefix/xvfb.pid" ]; then
  kill "$(cat "$prefix/xvfb.pid")" >/dev/null 2>&1 || true
  rm -f "$prefix/xvfb.pid" "$prefix/xvfb.display"
fi
exit 0
