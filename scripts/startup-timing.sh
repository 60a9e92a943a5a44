#!/usr/bin/env bash
# Times orvane.exe's start (from the bundle, with the stand-in engine) to its first visible
# window under Wine, beside a minimal Win32 window program started the same way in the same run.
#   bash scripts/startup-timing.sh [ROUNDS]      default 15
# Runs in the Windows suite's prefix (Xvfb, unmanaged windows, a persistent wineserver).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-15}
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvane startup_timer minimal_window
build=$(pwd)/build/windows
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
bash scripts/wine-exec.sh "$build/wine" "$build/bench/startup/startup_timer.exe" "$rounds" \
  "$(windows_path "$build/bundle/orvane.exe")" \
  "$(windows_path "$build/bench/startup/minimal_window.exe")"
