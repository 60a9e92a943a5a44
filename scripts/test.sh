#!/usr/bin/env bash
# Builds the Windows and the native configurations and runs both test suites.
# Exits non-zero when anything fails, or when either suite runs no test.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh || exit 1

status=0
summary=()

# run_suite PRESET: configure, build, test; remembers ctest's closing line.
run_suite() {
  local preset=$1 log
  log=$(mktemp)
  echo "==== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset"; then
    echo "==== $preset: BUILD FAILED"
    summary+=("$preset: build failed")
    status=1
    return
  fi
  echo "==== $preset: test"
  ctest --preset "$preset" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ "$rc" -ne 0 ]; then
    status=1
  fi
  if [ -z "$line" ] || echo "$line" | grep -qE 'out of 0$'; then
    echo "==== $preset: ran no test"
    line="ran no test"
    status=1
  fi
  summary+=("$preset: $line")
  rm -f "$log"
}

run_suite native
run_suite windows
bash scripts/wine-stop.sh build/windows/wine
if [ -s build/windows/wine/failed-starts.log ]; then
  echo "==== Wine starts that ended at once and were tried again:"
  cat build/windows/wine/failed-starts.log
fi

echo
echo "==== Summary"
printf '%s\n' "${summary[@]}"
exit $status
