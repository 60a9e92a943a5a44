#!/usr/bin/env bash
# A start without administrator rights relaunches only a program path that fits in 260
# characters: the probe is copied to paths of exactly 259, 260 and 300 characters (as Windows
# sees them, on drive Z:) and started there. Wine's CreateProcessW cannot start a program from a
# path that long, so the starts are made from here, the way `wine` starts any program.
#   own_path_test.sh WINE_EXEC PREFIX_DIR PROBE_DIR
set -uo pipefail
wine_exec=$1
prefix=$2
probe_dir=$(cd "$3" && pwd)
# Inside the prefix's folder, which the build tree's PE check leaves out: the copies come and go
# while other tests run.
work=$(cd "$prefix" && pwd)/own_path
files=(startup_probe.exe flutter_windows.dll file_selector_windows_plugin.dll
  flutter_secure_storage_windows_plugin.dll url_launcher_windows_plugin.dll)
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
trap 'rm -rf "$work"' EXIT

bad=0
for length in 259 260 300; do
  rm -rf "$work"
  # Windows sees "Z:" and the Unix path; padding folders of at most 200 characters make up the
  # rest, never leaving a single character over for another folder and its separator.
  rest=$((length - 2 - ${#work} - 1 - ${#files[0]}))
  dir=$work
  while [ "$rest" -gt 0 ]; do
    n=$((rest - 1 > 200 ? 200 : rest - 1))
    [ $((rest - 1 - n)) -eq 1 ] && n=$((n - 1))
    dir=$dir/$(printf "%${n}s" '' | tr ' ' p)
    rest=$((rest - 1 - n))
  done
  mkdir -p "$dir"
  for f in "${files[@]}"; do cp "$probe_dir/$f" "$dir/"; done
  program=$dir/${files[0]}
  [ "${#program}" -eq $((length - 2)) ] || { echo "path is ${#program} + 2 characters, not $length"; exit 1; }

  report=$work/report.txt
  rc=0
  ORVANE_PROBE_REPORT=$(windows_path "$report") ORVANE_PROBE_NOT_ADMIN=1 \
    "$wine_exec" "$prefix" "$program" first "second one" >"$work/output.txt" 2>&1 || rc=$?
  if [ "$length" -lt 260 ]; then
    expected="runas|$(windows_path "$program")|first \"second one\"|(null)|"
    want_rc=0
  else
    expected=""
    want_rc=1
  fi
  got=$(grep '^shell ' "$report" 2>/dev/null | sed 's/^shell //; s/|[0-9]*$/|/')
  if [ "$rc" -ne "$want_rc" ] || [ "$got" != "$expected" ] || ! grep -qx "exit $want_rc" "$report"; then
    echo "path of $length characters: exit $rc (want $want_rc), relaunch '${got}' (want '${expected}')"
    bad=1
  else
    echo "path of $length characters: exit $rc, relaunched: $([ -n "$got" ] && echo yes || echo no)"
  fi
done
exit $bad
