#!/usr/bin/env bash
# Builds the optimised benchmarks and prints the codec's figures with their ratios to memcpy and
# to msgpack-c, measured in the same run. Extra arguments go to the benchmark program
# (e.g. --benchmark_filter=Decode).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVANE_BENCH_BUILD:-build/bench}

bash scripts/deps.sh
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" --target codec_bench
# Repeated, and the median taken: the machine is shared, single runs are noisy.
"$build/bench/codec_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.2 "$@"
