#!/usr/bin/env bash
# Makes the three release input folders the way a real engine, its plugins and a built application
# come, out of our stand-in DLLs (the only engine these machines have):
#   make_release_inputs.sh DLL_DIR OUT_DIR
# DLL_DIR holds flutter_windows.dll and the three plugin DLLs (a stand-in bundle). Made in OUT_DIR:
#   engine/          flutter_windows.dll, flutter_windows.dll.lib, icudtl.dat
#   plugins/NAME/    NAME.dll, NAME.lib (each plugin in a folder of its own, as a Flutter build has them)
#   app/             app.so, flutter_assets/
# The import libraries are MSVC-format ones made from the definition files beside this script,
# which list only what the real libraries publish: a host that needs anything else does not link.
# Prints the configure options that name the folders, one per line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dlls=$1
mkdir -p "$2"
out=$(cd "$2" && pwd)
dlltool=${LLVM_DLLTOOL:-llvm-dlltool}
plugins=(file_selector_windows_plugin flutter_secure_storage_windows_plugin url_launcher_windows_plugin)

rm -rf "$out/engine" "$out/plugins" "$out/app"
mkdir -p "$out/engine" "$out/app/flutter_assets/fonts"
cp "$dlls/flutter_windows.dll" "$out/engine/"
"$dlltool" -m i386:x86-64 -d "$here/flutter_windows.def" -l "$out/engine/flutter_windows.dll.lib"
echo "ICU data of the engine folder" >"$out/engine/icudtl.dat"

plugin_dirs=()
for plugin in "${plugins[@]}"; do
  mkdir -p "$out/plugins/$plugin"
  cp "$dlls/$plugin.dll" "$out/plugins/$plugin/"
  "$dlltool" -m i386:x86-64 -d "$here/$plugin.def" -l "$out/plugins/$plugin/$plugin.lib"
  plugin_dirs+=("$out/plugins/$plugin")
done

echo "compiled code of the application folder" >"$out/app/app.so"
echo '{"application": "foreign"}' >"$out/app/flutter_assets/AssetManifest.json"
printf 'font\0data' >"$out/app/flutter_assets/fonts/MaterialIcons-Regular.otf"

echo "-DORVANE_ENGINE_DIR=$out/engine"
echo "-DORVANE_PLUGIN_DIRS=$(IFS=';'; echo "${plugin_dirs[*]}")"
echo "-DORVANE_APP_DATA_DIR=$out/app"
