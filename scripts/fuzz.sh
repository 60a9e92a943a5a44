#!/usr/bin/env bash
# Open-ended fuzzing of the codecs with libFuzzer (clang, AddressSanitizer, UBSan).
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET]     defaults: 300 seconds, codec_fuzzer
#
# Starts from the committed seed corpus and keeps what it finds in build/fuzz/corpus/TARGET (the
# committed seeds stay untouched; copy a new input into fuzz/corpus/TARGET/ by hand to make it a
# regression test). Crashing inputs land in build/fuzz/crashes/TARGET. Exits non-zero when any
# crash was found.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
target=${2:-codec_fuzzer}
build=${ORVANE_FUZZ_BUILD:-build/fuzz}

bash scripts/deps.sh || exit 1
cmake --preset fuzz -B "$build" >/dev/null || exit 1
cmake --build "$build" --target "$target" || exit 1

seeds=fuzz/corpus/$target
corpus=$build/corpus/$target
crashes=$build/crashes/$target
mkdir -p "$corpus" "$crashes"

count() { find "$1" -maxdepth 1 -type f | wc -l; }
corpus_before=$(count "$corpus")
crashes_before=$(count "$crashes")
marker=$(mktemp)

# AddressSanitizer keeps up to 256 MB of freed memory in quarantine by default, which alone would
# trip the memory limit, and it records the call stack of every allocation forever: recursive
# decoding makes endless distinct deep stacks. A small quarantine and short stacks still catch
# and locate use after free and overflows.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=8:detect_leaks=1}

# One job on one core: the machine is shared. The memory limit also caps any single allocation.
"$build/fuzz/$target" "$corpus" "$seeds" \
  -max_total_time="$seconds" -rss_limit_mb=256 -timeout=10 \
  -artifact_prefix="$crashes/" -print_final_stats=1 2>&1 | tee "$build/$target.log" | grep -E '^#|ERROR|SUMMARY|stat::' | tail -n 25

corpus_after=$(count "$corpus")
crashes_after=$(count "$crashes")
echo
echo "==== $target: ${seconds}s"
echo "corpus: $corpus_before -> $corpus_after inputs in $corpus"
echo "new crash, leak, timeout or out-of-memory inputs: $((crashes_after - crashes_before)) in $crashes"
new_crashes=$(find "$crashes" -maxdepth 1 -type f -newer "$marker")
rm -f "$marker"
if [ -n "$new_crashes" ]; then
  echo "$new_crashes"
  echo "reproduce: $build/fuzz/$target FILE"
  exit 1
fi
