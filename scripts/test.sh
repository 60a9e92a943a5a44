#!/usr/bin/env bash
# Builds the Windows and the native configurations and runs both test suites, then compiles and
# links the product once more with clang (warnings as errors) and checks that executable's imports.
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

# run_clang_product: the product alone, compiled by clang for the same target, against release
# input folders made from the Windows build's stand-in DLLs, so nothing but the product is built.
run_clang_product() {
  local dir=build/windows-clang log started
  log=$(mktemp)
  started=$(date +%s)
  echo "==== windows-clang: the product compiled and linked with clang"
  local inputs=()
  if mapfile -t inputs < <(bash tests/foreign_build/make_release_inputs.sh build/windows/bundle "$dir/inputs" 2>"$log") &&
     [ ${#inputs[@]} -eq 3 ] &&
     cmake --preset windows-clang "${inputs[@]}" >>"$log" 2>&1 &&
     cmake --build --preset windows-clang >>"$log" 2>&1 &&
     bash scripts/check-host-executable.sh "$dir/bundle" >>"$log" 2>&1; then
    summary+=("windows-clang: product built with clang, warnings as errors; imports checked ($(($(date +%s) - started)) s)")
  else
    tail -n 60 "$log"
    echo "==== windows-clang: FAILED (log above)"
    summary+=("windows-clang: FAILED")
    status=1
  fi
  rm -f "$log"
}

run_suite native
run_suite windows
bash scripts/wine-stop.sh build/windows/wine
run_clang_product
if [ -s build/windows/wine/failed-starts.log ]; then
  echo "==== Wine starts that ended at once and were tried again:"
  cat build/windows/wine/failed-starts.log
fi

echo
echo "==== Summary"
printf '%s\n' "${summary[@]}"
exit $status
