#!/usr/bin/env bash
# The product built and run against engine, plugin and application folders as a real release gets
# them (make_release_inputs.sh): their import libraries list only the published functions, so the
# product links only if it needs nothing else. It is built with the release preset and packed.
#   foreign_build_test.sh build SOURCE_DIR DLL_DIR WORK_DIR
#   foreign_build_test.sh run WINE_EXEC WINE_PREFIX_DIR STANDIN_CONTROL_EXE BUNDLE_DIR...
# DLL_DIR holds the stand-in engine and plugin DLLs that go into those folders. The run starts each
# bundle, unmodified (the one the build made, and its signed copy: reproducible_release_test.sh),
# and the stand-in engine's control pipe, driven by STANDIN_CONTROL_EXE, asks the host for one
# answer. Two phases, so that only the run holds the screen while the build goes on beside other
# tests.
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
  wine_exec=$1
  prefix=$2
  control=$3
  shift 3
  pipe=orvane-foreign-build
  drive() { "$wine_exec" "$prefix" "$control" "$pipe" "$@" 2>&1 | tr -d '\r'; }
  for bundle in "$@"; do
    step "the unmodified bundle $bundle runs under Wine: its window shows and \"vpn/native\" answers"
    cd "$bundle" || exit 1
    ORVANE_STANDIN_CONTROL=$pipe ORVANE_WINE_TIMEOUT=60 "$wine_exec" "$prefix" orvane.exe >"$bundle.log" 2>&1 &
    host=$!
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
    cat "$bundle.log"
  done
  [ $failures -eq 0 ] && echo "each release bundle showed its window and answered on vpn/native"
  exit $((failures > 0))
fi

source_dir=$1
dlls=$2
mkdir -p "$3"
work=$(cd "$3" && pwd)
build=$work/build
bundle=$build/bundle
inputs=$work/inputs
rm -rf "$build" "$work/release-options.txt"
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

step "configure and build the release against the folders"
started=$(date +%s)
cmake --preset release -B "$build" "${options[@]}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; echo "FAILED: configure"; exit 1; }
cmake --build "$build" >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; echo "FAILED: build"; exit 1; }
echo "configured and built in $(($(date +%s) - started)) s"
# The options of this release, for the tests that build it again (reproducible_release_test.sh).
printf '%s\n' "${options[@]}" -DORVANE_STANDIN_TEST_ARCHIVE=ON >"$work/release-options.txt"

step "packing refuses the stand-in engine and plugins, naming each, unless told it packs a test archive"
version=$(sed -n 's/^project(Orvane VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
log=$(cmake --build "$build" --target orvane_zip 2>&1) && fail "orvane_zip packed the stand-ins"
for dll in flutter_windows.dll "${plugins[@]/%/.dll}"; do
  grep -qF "$dll (it exports Standin" <<<"$log" || fail "the refusal does not name $dll: $log"
done
[ -z "$(find "$build" -maxdepth 1 -name '*.zip')" ] || fail "a refused packing left an archive"
cmake --preset release -B "$build" "${options[@]}" -DORVANE_STANDIN_TEST_ARCHIVE=ON >>"$work/configure.log" 2>&1 &&
  cmake --build "$build" --target orvane_zip >"$work/zip.log" 2>&1 || { cat "$work/zip.log"; echo "FAILED: zip"; exit 1; }
zip=$build/orvane-$version-windows-x64-test-standins.zip
symbols=$build/orvane-$version-windows-x64-test-standins-symbols.zip

step "the bundle is the product, its notices and the folders' files, nothing else of ours"
expected=$(printf '%s\n' orvane.exe flutter_windows.dll "${plugins[@]/%/.dll}" THIRD-PARTY-NOTICES.txt data/app.so \
  data/icudtl.dat data/flutter_assets/AssetManifest.json data/flutter_assets/fonts/MaterialIcons-Regular.otf | sort)
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

step "orvane.exe is stripped, hardened and says Windows 10; its debug information is kept beside it"
bash "$source_dir/tests/foreign_build/check_release_image.sh" "$bundle/orvane.exe" "$build/orvane.exe.debug" ||
  fail "check_release_image.sh"

step "the notices name every package the link took code from"
notices=$bundle/THIRD-PARTY-NOTICES.txt
literal() { sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$1"; }
for package in mingw-w64-x86-64-dev gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix; do
  grep -qE "^  $(literal "$package") [^:]+: " "$notices" || fail "THIRD-PARTY-NOTICES.txt does not list $package"
done
for library in libstdc++.a libgcc.a libssp.a libmingwex.a crt2u.o; do
  grep -qE "^  [^ ]+ [^ ]+: (.*, )?$(literal "$library")(,|$)" "$notices" ||
    fail "THIRD-PARTY-NOTICES.txt does not list $library"
done
grep -q "Runtime Library Exception" "$notices" || fail "THIRD-PARTY-NOTICES.txt lacks GCC's licence text"
grep -q "ZPL-2.1" "$notices" || fail "THIRD-PARTY-NOTICES.txt lacks mingw-w64's licence text"

step "the archives hold the bundle and the debug information, under the project's version, with checksums"
if [ -f "$zip" ] && [ -f "$symbols" ]; then
  (cd "$build" && sha256sum --quiet -c "$(basename "$zip").sha256" "$(basename "$symbols").sha256") ||
    fail "a checksum does not match"
  [ "$(cmake -E tar tf "$zip" | sort)" = "$expected" ] || fail "$zip holds: $(cmake -E tar tf "$zip")"
  [ "$(cmake -E tar tf "$symbols")" = orvane.exe.debug ] || fail "$symbols holds: $(cmake -E tar tf "$symbols")"
  mkdir -p "$work/unpacked" && rm -rf "$work/unpacked/"*
  (cd "$work/unpacked" && cmake -E tar xf "$zip" && cmake -E tar xf "$symbols")
  cmp -s "$work/unpacked/orvane.exe" "$bundle/orvane.exe" || fail "the archive's orvane.exe is not the bundle's"
  cmp -s "$work/unpacked/orvane.exe.debug" "$build/orvane.exe.debug" || fail "the symbols archive's debug file is not the build's"
else
  fail "no $zip and $symbols (version \"$version\")"
fi
for field in FileVersion ProductVersion; do
  value=$(strings -el "$bundle/orvane.exe" | grep -A1 -x "$field" | tail -n 1)
  [ "$value" = "$version" ] || fail "the version resource's $field is \"$value\", not $version"
done

[ $failures -eq 0 ] && echo "the release against the foreign folders: configured, built, packed, checked"
exit $((failures > 0))
