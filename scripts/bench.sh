#!/usr/bin/env bash
# Builds the optimised benchmarks and prints the codec's figures with their ratios to memcpy and
# to msgpack-c, and a call's round trip through the messaging path with its ratio to the bare
# codec work, all measured in the same run. Extra arguments go to the benchmark program
# (e.g. --benchmark_filter=Decode).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVANE_BENCH_BUILD:-build/bench}

bash scripts/deps.sh
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" --target codec_bench messaging_round_trip_bench
# Repeated, and the median taken: the machine is shared, single runs are noisy.
for program in codec_bench messaging_round_trip_bench; do
  "$build/bench/$program" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 "$@"
done
