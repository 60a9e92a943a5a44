#!/usr/bin/env bash
# Checks orvane.exe as a Release build leaves it, with the debug file the build kept:
#   check_release_image.sh ORVANE_EXE DEBUG_FILE
# - stripped: no COFF symbols and no debug section; a .gnu_debuglink naming DEBUG_FILE instead;
# - ASLR (high entropy), relocations and DEP kept: DllCharacteristics 0x160 and a .reloc section;
# - no link time in the header; OS and subsystem version 10.0, as the manifest's supported OS;
# - compiled with the stack protector and fortified calls: the debug file's symbols include the
#   canary's failure handler and at least one checked copy function;
# - a size of a multiple of 8, so that signing only appends.
set -uo pipefail
exe=$1
debug=$2
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
bad=0
fail() { echo "$exe: $*"; bad=1; }

header=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
field() { sed -n "s|^$1[[:space:]]*||p" <<<"$header" | head -n 1; }
sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2 }')

[ "$("$objdump" -t "$exe" | grep -c '^\[')" -eq 0 ] || fail "has a COFF symbol table"
grep -q '^\.debug' <<<"$sections" && fail "has debug sections: $(grep '^\.debug' <<<"$sections" | tr '\n' ' ')"
grep -qx '\.gnu_debuglink' <<<"$sections" || fail "has no .gnu_debuglink"
"$objdump" -s -j .gnu_debuglink "$exe" | grep -q "$(basename "$debug" | cut -c1-10)" ||
  fail ".gnu_debuglink does not name $(basename "$debug")"
[ "$(field DllCharacteristics)" = 00000160 ] || fail "DllCharacteristics $(field DllCharacteristics), not 00000160"
grep -qx '\.reloc' <<<"$sections" || fail "has no relocations"
[ "$(field 'Time/Date')" = "Thu Jan  1 00:00:00 1970" ] || fail "carries the time $(field 'Time/Date')"
for version in MajorOSystemVersion:10 MinorOSystemVersion:0 MajorSubsystemVersion:10 MinorSubsystemVersion:0; do
  [ "$(field "${version%%:*}")" = "${version#*:}" ] || fail "${version%%:*} is $(field "${version%%:*}"), not ${version#*:}"
done
[ $(($(stat -c %s "$exe") % 8)) -eq 0 ] || fail "is $(stat -c %s "$exe") bytes, not a multiple of 8"

symbols=$("$objdump" -t "$debug" 2>/dev/null)
[ -n "$symbols" ] || fail "no symbols in $debug"
grep -q ' __stack_chk_fail$' <<<"$symbols" || fail "was not compiled with the stack protector (no __stack_chk_fail)"
grep -qE ' __(memcpy|memmove|memset|strcpy|strcat|strncpy)_chk$' <<<"$symbols" ||
  fail "calls no fortified function (no __*_chk)"

[ $bad -eq 0 ] && echo "$exe: stripped, debug link to $(basename "$debug"), 0x160, Windows 10, stack protector and fortified calls"
exit $bad
