#!/usr/bin/env bash
# Checks orvane.exe as built into the bundle: every function it imports, from the import and the
# delay-import tables, is one the engine's or a plugin's published list names
# (tests/foreign_build/*.def) or a documented Windows function of scripts/system-imports.txt, by
# name; the engine and the plugins are among its libraries and none of them is delay-loaded;
# neither table names the filtering platform, the IP helper library or dwmapi, which are loaded on
# first use from the system folder; it carries its process manifest (resource 1 of type 24) with the execution level,
# the DPI awareness and the supported-OS entry, its version resource and the icon groups 101
# (application), 102 and 103 (tray); and the bundle around it has what the engine is pointed at.
#   check-host-executable.sh BUNDLE_DIR
set -uo pipefail
bundle=$1
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$bundle/orvane.exe
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
bad=0
fail() { echo "$exe: $*"; bad=1; }

info=$("$objdump" -p "$exe" 2>&1) || { echo "cannot read $exe"; exit 1; }

# ---- imports and delay imports, "DLL FUNCTION import|delay" per function
listing=$(python3 "$root/scripts/check-imports.py" --list "$exe") || { echo "cannot read the imports of $exe"; exit 1; }
python3 "$root/scripts/check-imports.py" "$exe" "$root"/tests/foreign_build/*.def "$root/scripts/system-imports.txt" || bad=1
mapfile -t imports < <(cut -d' ' -f1 <<<"$listing" | sort -u)
mapfile -t delay_imports < <(awk '$3 == "delay" { print $1 }' <<<"$listing" | sort -u)
product='flutter_windows|file_selector_windows_plugin|flutter_secure_storage_windows_plugin|url_launcher_windows_plugin'
# Loaded on first use from the system folder only (the kill switch's two, and the window's
# dwmapi): in either table the loader would look for them beside orvane.exe first.
on_first_use='fwpuclnt|iphlpapi|dwmapi'
for dll in "${imports[@]}"; do
  grep -qxE "($on_first_use)\.dll" <<<"$dll" && fail "imports $dll, which is loaded on first use from the system folder"
done
for dll in "${delay_imports[@]}"; do
  grep -qxE "($product)\.dll" <<<"$dll" &&
    fail "delay-imports $dll, which the bundle needs before the first frame"
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
  image_base=$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$info")
  offset=$((0x$rva + 0x$image_base - 0x$section_vma + 0x$section_offset))
  manifest=$(tail -c +$((offset + 1)) "$exe" | head -c $((0x$size)))
  for expected in 'level="asInvoker"' 'uiAccess="false"' '>PerMonitorV2</dpiAwareness>' \
      '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>'; do
    grep -qF "$expected" <<<"$manifest" || fail "manifest lacks $expected"
  done
fi

[ $bad -eq 0 ] && echo "$exe: $(wc -l <<<"$listing") functions from ${#imports[@]} libraries (${#delay_imports[@]} delay-loaded), each allowed by name; manifest, version and icons 101-103 present"
exit $bad
