#!/usr/bin/env bash
# Times orvane.exe's start (from the bundle, with the stand-in engine) to its first visible
# window under Wine, beside a minimal Win32 window program started the same way in the same run,
# and says whether orvane.exe's median is within the target of 1.25 times the minimal program's.
#   bash scripts/startup-timing.sh [ROUNDS]      default 30
# Exits 0 when the target is met, 1 when it is not or the measurement failed.
#
# Runs in a Wine prefix of its own (build/windows/startup-timing: Xvfb, unmanaged windows, a
# persistent wineserver, as the Windows suite has them), and ends that wineserver and Xvfb when it
# ends, also on failure or interrupt.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-30}
target=1.25
bash scripts/deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvane startup_timer minimal_window
build=$(pwd)/build/windows
prefix=$build/startup-timing

output=$(mktemp)
timer_pid=""
stop() {
  if [ -n "$timer_pid" ]; then
    kill "$timer_pid" >/dev/null 2>&1 || true
  fi
  # Ends every Wine process of the prefix, a host the timer was still waiting for included.
  bash scripts/wine-stop.sh "$prefix"
  rm -f "$output"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# In the background, so that an interrupt reaches the trap at once rather than after the run.
# A busy machine can stretch 30 rounds past wine-exec.sh's usual limit of two minutes.
ORVANE_WINE_TIMEOUT=1800 bash scripts/wine-exec.sh "$prefix" \
  "$build/bench/startup/startup_timer.exe" "$rounds" \
  "$(windows_path "$build/bundle/orvane.exe")" \
  "$(windows_path "$build/bench/startup/minimal_window.exe")" >"$output" &
timer_pid=$!
wait "$timer_pid"
timer_pid=""
cat "$output"

ratio=$(tr -d '\r' <"$output" | awk '$1 == "orvane.exe" { sub(/x$/, "", $NF); print $NF }')
if [ -z "$ratio" ]; then
  echo "no ratio for orvane.exe in the timer's output"
  exit 1
fi
if awk -v r="$ratio" -v t="$target" 'BEGIN { exit !(r <= t) }'; then
  echo "start-up: orvane.exe at ${ratio} times the minimal window program (target at most $target): met"
else
  echo "start-up: orvane.exe at ${ratio} times the minimal window program (target at most $target): NOT met"
  exit 1
fi
