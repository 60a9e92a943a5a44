#!/usr/bin/env bash
# Checks orvane.exe as built into the bundle: it imports only system libraries, the engine and
# the three plugins, each by name; the engine and the plugins are among them; neither its imports
# nor its delay imports name the filtering platform or the IP helper library, which the kill
# switch loads on first use, and whatever it delay-imports is a system library; it carries its process manifest (resource 1 of type 24) with the
# execution level, the DPI awareness and the supported-OS entry, its version resource and the
# icon groups 101 (application), 102 and 103 (tray); and the bundle around it has what the engine is pointed at.
#   check-host-executable.sh BUNDLE_DIR
set -uo pipefail
bundle=$1
exe=$bundle/orvane.exe
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
bad=0
fail() { echo "$exe: $*"; bad=1; }

info=$("$objdump" -p "$exe" 2>&1) || { echo "cannot read $exe"; exit 1; }

# ---- imports and delay imports
system='kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|dwmapi|shcore|shlwapi|uxtheme|version|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|ws2_32|bcrypt|crypt32|ntdll'
product='flutter_windows|file_selector_windows_plugin|flutter_secure_storage_windows_plugin|url_launcher_windows_plugin'
# Loaded by the kill switch on its first call: in either table they would be loaded at every start.
on_first_use='fwpuclnt|iphlpapi'
mapfile -t imports < <(sed -n 's/^\tDLL Name: *//p' <<<"$info" | tr 'A-Z' 'a-z')
for dll in "${imports[@]}"; do
  if grep -qxE "($on_first_use)\.dll" <<<"$dll"; then
    fail "imports $dll, which the kill switch loads on first use"
  elif ! grep -qxE "($system|$product)\.dll" <<<"$dll"; then
    fail "imports $dll, which is neither a system library nor one of the bundle's"
  fi
done

# The delay-import table (data directory 13), which objdump does not list: 32-byte descriptors,
# the DLL name's address second, up to an empty one. Addresses are relative to the image; the
# section headers map them to the file.
image_base=$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$info")
sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $3, $4, $6 }')
rva_to_offset() {
  local size vma offset
  while read -r size vma offset; do
    local start=$((0x$vma - 0x$image_base))
    if [ "$1" -ge "$start" ] && [ "$1" -lt $((start + 0x$size)) ]; then
      echo $((0x$offset + $1 - start))
      return
    fi
  done <<<"$sections"
  echo -1
}
read -r delay_rva delay_size < <(awk '$1 == "Entry" && $2 == "d" { print $3, $4 }' <<<"$info")
delay_imports=()
if [ -n "${delay_rva:-}" ] && [ $((0x$delay_rva)) -ne 0 ]; then
  descriptor=$(rva_to_offset $((0x$delay_rva)))
  for ((i = 0; i < 0x$delay_size / 32 && descriptor >= 0; i++)); do
    read -r _ name_rva _ < <(od -An -v -tu4 -j $((descriptor + 32 * i)) -N 12 "$exe")
    [ "${name_rva:-0}" -eq 0 ] && break
    name_offset=$(rva_to_offset "$name_rva")
    [ "$name_offset" -ge 0 ] || { fail "has a delay-import name outside its sections"; break; }
    delay_imports+=("$(tail -c +$((name_offset + 1)) "$exe" | head -c 256 | tr '\0' '\n' | head -n 1 | tr 'A-Z' 'a-z')")
  done
  [ "$descriptor" -ge 0 ] || fail "has a delay-import table outside its sections"
fi
for dll in "${delay_imports[@]}"; do
  if grep -qxE "($on_first_use)\.dll" <<<"$dll"; then
    fail "delay-imports $dll, which the kill switch loads on first use"
  elif ! grep -qxE "($system)\.dll" <<<"$dll"; then
    fail "delay-imports $dll, which is not a system library (the bundle's are needed before the first frame)"
  fi
done
for dll in flutter_windows file_selector_windows_plugin flutter_secure_storage_windows_plugin url_launcher_windows_plugin; do
  printf '%s\n' "${imports[@]}" | grep -qx "$dll.dll" || fail "does not import $dll.dll"
  [ -f "$bundle/$dll.dll" ] || fail "$dll.dll is not beside it"
done
for path in data/flutter_assets data/icudtl.dat data/app.so; do
  [ -e "$bundle/$path" ] || fail "$path is not beside it"
done

# ---- resources: "TYPE NAME RVA SIZE" per leaf (six hex digits for the ids), from the resource directory objdump prints
leaves=$(awk '
  /The .rsrc Resource Directory section/ { on = 1; next }
  on && /Entry: ID: 0x/ {
    match($0, /Entry/); depth = RSTART
    id = $0; sub(/.*Entry: ID: 0x/, "", id); sub(/,.*/, "", id)
    if (type_depth == 0 || depth <= type_depth) { type_depth = depth; type = id; name_depth = 0 }
    else if (name_depth == 0 || depth <= name_depth) { name_depth = depth; name = id }
  }
  on && /Leaf: Addr:/ {
    addr = $0; sub(/.*Addr: 0x/, "", addr); sub(/,.*/, "", addr)
    size = $0; sub(/.*Size: 0x/, "", size); sub(/,.*/, "", size)
    print type, name, addr, size
  }
  on && /^$/ { on = 0 }' <<<"$info")
has_leaf() { grep -qE "^$(printf %06x "$1") $(printf %06x "$2") " <<<"$leaves"; }
for group in 101 102 103; do
  has_leaf 14 $group || fail "has no icon group $group"
done
has_leaf 16 1 || fail "has no version resource"
manifest_leaf=$(grep -E '^000018 000001 ' <<<"$leaves" | head -n 1)
if [ -z "$manifest_leaf" ]; then
  fail "has no process manifest (resource 1 of type 24)"
else
  read -r _ _ rva size <<<"$manifest_leaf"
  # The leaf's address is relative to the image; the .rsrc section header maps it to the file.
  read -r section_vma section_offset < <("$objdump" -h "$exe" | awk '$2 == ".rsrc" { print $4, $6 }')
  offset=$((0x$rva + 0x$image_base - 0x$section_vma + 0x$section_offset))
  manifest=$(tail -c +$((offset + 1)) "$exe" | head -c $((0x$size)))
  for expected in 'level="asInvoker"' 'uiAccess="false"' '>PerMonitorV2</dpiAwareness>' \
      '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'; do
    grep -qF "$expected" <<<"$manifest" || fail "manifest lacks $expected"
  done
fi

[ $bad -eq 0 ] && echo "$exe: ${#imports[@]} imports by name and ${#delay_imports[@]} delay imports, all allowed; manifest, version and icons 101-103 present"
exit $bad
