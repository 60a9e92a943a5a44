#!/usr/bin/env bash
# The product built and run against engine, plugin and application folders as a real release gets
# them (make_release_inputs.sh): their import libraries list only the published functions, so the
# product links only if it needs nothing else. It is built with the release preset and packed.
#   foreign_build_test.sh build SOURCE_DIR DLL_DIR WORK_DIR
#   foreign_build_test.sh run WORK_DIR WINE_EXEC WINE_PREFIX_DIR STANDIN_CONTROL_EXE
# DLL_DIR holds the stand-in engine and plugin DLLs that go into those folders. The run starts the
# bundle the build made, unmodified, and the stand-in engine's control pipe, driven by
# STANDIN_CONTROL_EXE, asks the host for one answer. Two phases, so that only the run holds the
# screen while the build goes on beside other tests.
set -uo pipefail
phase=$1
shift
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
step() { echo "---- $*"; }
plugins=(file_selector_windows_plugin flutter_secure_storage_windows_plugin url_launcher_windows_plugin)

if [ "$phase" = run ]; then
  work=$1
  wine_exec=$2
  prefix=$3
  control=$4
  pipe=orvane-foreign-build
  step "the unmodified bundle runs under Wine: its window shows and \"vpn/native\" answers"
  cd "$work/build/bundle" || exit 1
  ORVANE_STANDIN_CONTROL=$pipe ORVANE_WINE_TIMEOUT=60 "$wine_exec" "$prefix" orvane.exe >"$work/host.log" 2>&1 &
  host=$!
  drive() { "$wine_exec" "$prefix" "$control" "$pipe" "$@" 2>&1 | tr -d '\r'; }
  reply=$(drive wait-handler vpn/native 20000)
  [ "$reply" = "ok" ] || fail "no handler on vpn/native: $reply"
  view=""
  for _ in $(seq 40); do
    view=$(drive view)
    grep -q 'hosted=1 visible=1' <<<"$view" && break
    sleep 0.25
  done
  grep -q 'hosted=1 visible=1' <<<"$view" || fail "the host's window did not show: $view"
  # isKillSwitchEnabled: Wine's filtering platform refuses a session, so the answer is success, false.
  reply=$(drive send vpn/native 071369734b696c6c537769746368456e61626c656400)
  [ "$reply" = "reply 0002" ] || fail "isKillSwitchEnabled was answered \"$reply\", not \"reply 0002\""
  "$wine_exec" "$prefix" taskkill.exe /F /IM orvane.exe >/dev/null 2>&1
  wait $host
  cat "$work/host.log"
  [ $failures -eq 0 ] && echo "the release bundle showed its window and answered on vpn/native"
  exit $((failures > 0))
fi

source_dir=$1
dlls=$2
work=$3
build=$work/build
bundle=$build/bundle
inputs=$work/inputs
mkdir -p "$work"
rm -rf "$build" "$work/host.log"
mapfile -t options < <(bash "$source_dir/tests/foreign_build/make_release_inputs.sh" "$dlls" "$inputs") ||
  { echo "FAILED: cannot make the release inputs"; exit 1; }
cd "$source_dir" || exit 1

step "an incomplete engine or plugin folder stops the configure step, naming each missing file"
lib=$inputs/plugins/url_launcher_windows_plugin/url_launcher_windows_plugin.lib
mv "$inputs/engine/icudtl.dat" "$work/icudtl.dat"
mv "$lib" "$work/plugin.lib"
log=$(cmake --preset release -B "$build" "${options[@]}" 2>&1)
rc=$?
mv "$work/icudtl.dat" "$inputs/engine/icudtl.dat"
mv "$work/plugin.lib" "$lib"
[ $rc -ne 0 ] || fail "configure succeeded without icudtl.dat and url_launcher_windows_plugin.lib"
for missing in "$inputs/engine/icudtl.dat" "$lib"; do
  grep -qF "$missing" <<<"$log" || fail "the configure step's message does not name $missing: $log"
done
[ ! -e "$build/build.ninja" ] || fail "a failed configure step left build files"

step "configure and build the release against the folders, and pack it"
started=$(date +%s)
cmake --preset release -B "$build" "${options[@]}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; echo "FAILED: configure"; exit 1; }
cmake --build "$build" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; echo "FAILED: build"; exit 1; }
cmake --build "$build" --target orvane_zip >"$work/zip.log" 2>&1 || { cat "$work/zip.log"; echo "FAILED: zip"; exit 1; }
echo "configured, built and packed in $(($(date +%s) - started)) s"

step "the bundle is the product and the folders' files, nothing else of ours"
expected=$(printf '%s\n' orvane.exe flutter_windows.dll "${plugins[@]/%/.dll}" data/app.so data/icudtl.dat \
  data/flutter_assets/AssetManifest.json data/flutter_assets/fonts/MaterialIcons-Regular.otf | sort)
actual=$(cd "$bundle" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "the bundle holds: $actual"
cmp -s "$inputs/engine/flutter_windows.dll" "$bundle/flutter_windows.dll" || fail "flutter_windows.dll is not the engine folder's"
for plugin in "${plugins[@]}"; do
  cmp -s "$inputs/plugins/$plugin/$plugin.dll" "$bundle/$plugin.dll" || fail "$plugin.dll is not the plugin folder's"
done
cmp -s "$inputs/engine/icudtl.dat" "$bundle/data/icudtl.dat" || fail "data/icudtl.dat is not the engine folder's"
diff -r -x icudtl.dat "$inputs/app" "$bundle/data" >/dev/null || fail "data/ differs from the application folder"
[ ! -d "$build/standins" ] || fail "the stand-ins were configured into the release build"
bash "$source_dir/scripts/check-host-executable.sh" "$bundle" || fail "check-host-executable.sh"

step "the archive holds the bundle, under the project's version, with its checksum"
version=$(sed -n 's/^project(Orvane VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
zip=$build/orvane-$version-windows-x64.zip
if [ -f "$zip" ]; then
  (cd "$build" && sha256sum --quiet -c "$(basename "$zip").sha256") || fail "the checksum does not match $zip"
  [ "$(cmake -E tar tf "$zip" | sort)" = "$expected" ] || fail "$zip holds: $(cmake -E tar tf "$zip")"
else
  fail "no $zip (version \"$version\")"
fi
for field in FileVersion ProductVersion; do
  value=$(strings -el "$bundle/orvane.exe" | grep -A1 -x "$field" | tail -n 1)
  [ "$value" = "$version" ] || fail "the version resource's $field is \"$value\", not $version"
done

[ $failures -eq 0 ] && echo "the release against the foreign folders: configured, built, packed, checked"
exit $((failures > 0))
