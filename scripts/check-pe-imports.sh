#!/usr/bin/env bash
# Checks every .exe and .dll we built: x86-64 PE files that import no compiler runtime DLL
# (libstdc++, libgcc_s, libwinpthread), so they run on a machine without mingw-w64.
#   check-pe-imports.sh BUILD_DIR
set -uo pipefail
dir=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
mapfile -t files < <(find "$dir" -path "$dir/wine" -prune -o -type f \( -name '*.exe' -o -name '*.dll' \) -print | sort)
if [ ${#files[@]} -eq 0 ]; then
  echo "no .exe or .dll under $dir"
  exit 1
fi
bad=0
for f in "${files[@]}"; do
  info=$("$objdump" -p "$f" 2>&1)
  if ! grep -q 'file format pei-x86-64' <<<"$info"; then
    echo "not an x86-64 PE file: $f"
    bad=1
  fi
  runtime=$(grep -iE 'DLL Name: *(libstdc\+\+|libgcc|libwinpthread)' <<<"$info")
  if [ -n "$runtime" ]; then
    echo "$f imports a compiler runtime DLL: $runtime"
    bad=1
  fi
done
[ $bad -eq 0 ] && echo "${#files[@]} PE files checked: x86-64, no compiler runtime DLL imported"
exit $bad
