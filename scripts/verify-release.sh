#!/usr/bin/env bash
# Checks a release archive as its user can: that it is what was published, signed by whom it says,
# and what this source makes from the same release inputs.
#
#   scripts/verify-release.sh [--build-dir DIR] ARCHIVE [CERTIFICATE] -DORVANE_ENGINE_DIR=... \
#       -DORVANE_PLUGIN_DIRS=... -DORVANE_APP_DATA_DIR=... [-DNAME=VALUE...]
#
# - checksum: ARCHIVE.sha256, beside the archive, matches it;
# - signature: orvane.exe's Authenticode signature verifies against CERTIFICATE (PEM: the
#   publisher's certificate, or the certificate authority's that issued it), with osslsigncode;
#   not checked when no certificate is given;
# - rebuild: the release preset builds and packs this checkout with the given options (those the
#   release was built with: its engine, plugin and application folders), in DIR (default
#   build/verify-release), unsigned;
# - then one line per file of either archive: the same bytes in both, orvane.exe with its
#   signature set aside (the signature is the one part a rebuild cannot make).
# One line per check. Exit code 0 only when every check holds, 1 otherwise, 2 for bad usage.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/verify-release
if [ "${1:-}" = --build-dir ]; then
  build=$2
  shift 2
fi
archive=${1:-}
shift || true
certificate=""
if [ $# -gt 0 ] && [ "${1#-D}" = "$1" ]; then
  certificate=$1
  shift
fi
if [ -z "$archive" ] || [ ! -f "$archive" ]; then
  sed -n '2,20s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
archive=$(cd "$(dirname "$archive")" && pwd)/$(basename "$archive")
name=$(basename "$archive")

failures=0
report() {  # report ok|skipped|FAILED CHECK DETAIL
  printf '%-7s %-10s %s\n' "$1" "$2" "$3"
  [ "$1" != FAILED ] || failures=$((failures + 1))
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$archive.sha256" ]; then
  report FAILED checksum "no $name.sha256 beside the archive"
elif (cd "$(dirname "$archive")" && sha256sum --quiet --status -c "$name.sha256"); then
  report ok checksum "$name matches $name.sha256 ($(cut -d' ' -f1 "$archive.sha256"))"
else
  report FAILED checksum "$name does not match $name.sha256"
fi

mkdir -p "$work/published" "$work/rebuilt"
if ! (cd "$work/published" && cmake -E tar xf "$archive") 2>/dev/null; then
  report FAILED archive "$name cannot be read as a zip archive"
fi

if [ -z "$certificate" ]; then
  report skipped signature "no certificate given"
elif [ ! -f "$work/published/orvane.exe" ]; then
  report FAILED signature "the archive holds no orvane.exe"
elif output=$(osslsigncode verify -in "$work/published/orvane.exe" -CAfile "$certificate" 2>&1) &&
     grep -q '^Signature verification: ok' <<<"$output"; then
  signer=$(grep -m1 -E '^[[:space:]]*Subject:' <<<"$output" | sed 's/^[[:space:]]*Subject:[[:space:]]*//')
  report ok signature "orvane.exe is signed${signer:+ by $signer} and verifies against $(basename "$certificate")"
else
  report FAILED signature "orvane.exe does not verify against $(basename "$certificate"): $(grep -m1 -iE 'error|failed|no signature' <<<"$output")"
fi

# Unsigned, whatever the build folder was configured with before: only the signature would differ.
log=$build.log
if (cd "$root" && cmake --preset release -B "$build" "$@" -DORVANE_SIGN_CERTIFICATE= &&
    cmake --build "$build" && cmake --build "$build" --target orvane_zip) >"$log" 2>&1 &&
   [ -f "$build/$name" ]; then
  commit=$(git -C "$root" describe --always --dirty 2>/dev/null || echo "not a git checkout")
  report ok rebuild "built and packed from $commit in $build"
  (cd "$work/rebuilt" && cmake -E tar xf "$build/$name")
else
  report FAILED rebuild "no $name from $build (its log: $log)"
fi

# Each file of either archive, once.
while IFS= read -r entry; do
  published=$work/published/$entry
  rebuilt=$work/rebuilt/$entry
  if [ ! -f "$published" ]; then
    report FAILED file "$entry: in the rebuild, not in the archive"
  elif [ ! -f "$rebuilt" ]; then
    report FAILED file "$entry: in the archive, not in the rebuild"
  elif [ "$entry" = orvane.exe ]; then
    if PYTHONPATH=$root/scripts python3 -c '
import sys
from pe_image import without_signature
a, b = (without_signature(open(path, "rb").read()) for path in sys.argv[1:])
sys.exit(a != b)' "$published" "$rebuilt"; then
      report ok file "$entry: the same, its signature set aside"
    else
      report FAILED file "$entry: differs from the rebuild"
    fi
  elif cmp -s "$published" "$rebuilt"; then
    report ok file "$entry: the same"
  else
    report FAILED file "$entry: differs from the rebuild"
  fi
done < <(cd "$work" && find published rebuilt -type f | cut -d/ -f2- | sort -u)

if [ $failures -eq 0 ]; then
  echo "verified: $name"
  exit 0
fi
echo "NOT verified: $name ($failures checks failed)"
exit 1
