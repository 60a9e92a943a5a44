#!/usr/bin/env bash
# How often orvane.exe wakes while nothing happens, shown and hidden to the notification area,
# beside the minimal window program (bench/startup) in the same Wine prefix, over the same periods:
# the messages each UI thread retrieved, the context switches of all their threads (wakes), and
# their CPU time. Prints the figures, the ratios and "met" or "NOT met" per phase.
#   bash scripts/idle.sh [ROUNDS] [SECONDS]      default 3 periods of 10 s per phase
# Uses a prefix of its own (build/windows/idle, created on first use) with its own Xvfb and
# wineserver, and stops them when it ends, also when it fails or is interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
seconds=${2:-10}
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvane orvane_bundle_standins idle_probe minimal_window
build=$(pwd)/build/windows
prefix=$build/idle
trap 'bash scripts/wine-stop.sh "$prefix"' EXIT
trap 'exit 130' INT TERM
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export ORVANE_WINE_TIMEOUT=$((2 * rounds * (seconds + 2) + 120))
bash scripts/wine-exec.sh "$prefix" "$build/bench/idle/idle_probe.exe" "$rounds" "$seconds" \
  "$(windows_path "$build/bundle")" "$(windows_path "$build/bench/startup/minimal_window.exe")"
