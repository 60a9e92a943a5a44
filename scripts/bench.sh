#!/usr/bin/env bash
# Builds the optimised benchmarks and prints the codec's figures with their ratios to memcpy and
# to msgpack-c, and a call's round trip through the messaging path with its ratio to the bare
# codec work, all measured in the same run; then every target with its ratio and "met" or
# "NOT met". Extra arguments go to the benchmark programs (e.g. --benchmark_filter=Decode).
#
# The round trip is measured over the least an engine does for a message (the target), and over
# the stand-in engine of the tests, whose own bookkeeping is counted in with it (for comparison).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVANE_BENCH_BUILD:-build/bench}
programs=(codec_bench messaging_round_trip_bench messaging_round_trip_standin_bench)

bash scripts/deps.sh
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" --target "${programs[@]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Repeated, interleaved and the median taken: the machine is shared, single runs are noisy, and
# interleaving spreads a busy spell over both sides of each ratio.
for program in "${programs[@]}"; do
  "$build/bench/$program" --benchmark_repetitions=9 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.1 "$@" | tee -a "$log"
done
echo
echo "==== targets (medians of 9 interleaved repetitions)"
grep '^target:' "$log"
