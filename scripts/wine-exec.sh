#!/usr/bin/env bash
# Runs one Windows program under Wine, in a prefix of the build tree's own.
#   wine-exec.sh PREFIX_DIR PROGRAM.exe [ARGS...]
# CMake uses this as the cross-compiling emulator, so ctest runs the Windows tests through it.
#
# The DLLs in system32/ beside PREFIX_DIR (the build tree's stand-ins of system libraries Wine lacks,
# such as fwpuclnt.dll) are put into the prefix's system folder before every start, where the
# product loads system libraries from; WINEDLLOVERRIDES=NAME=n then makes Wine take them over its
# own.
#
# The prefix is created on first use (flock-guarded, since ctest runs tests in parallel) with
# Wine's crash dialog switched off: a crashing test must fail, not hang the run. Without a
# DISPLAY the script starts one Xvfb for the prefix and reuses it; scripts/wine-stop.sh ends it
# together with the persistent wineserver.
set -euo pipefail

prefix=$1
shift
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

export WINEPREFIX=$prefix/wine
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# Wine names Unix files in the locale's character set: under a plain "C" locale (a bare root shell,
# a fresh machine) it cannot create or open a path with letters outside ASCII.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
  export LC_ALL=C.UTF-8
fi
# No Mono or Gecko install prompts; callers may add their own overrides after ours.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

# install_system_dlls FROM TO: each DLL of FROM that TO lacks or holds otherwise, copied beside it
# and renamed into place, so a process that has the old file mapped keeps it.
install_system_dlls() {
  local dll
  [ -d "$1" ] && [ -d "$2" ] || return 0
  for dll in "$1"/*.dll; do
    [ -f "$dll" ] || continue
    cmp -s "$dll" "$2/${dll##*/}" && continue
    cp "$dll" "$2/${dll##*/}.new" && mv -f "$2/${dll##*/}.new" "$2/${dll##*/}"
  done
}

start_display() {
  local fifo=$prefix/xvfb.fd
  rm -f "$fifo"
  mkfifo "$fifo"
  # -displayfd lets Xvfb pick a free display number and tell us which. The screen is large enough
  # for the host window at 144 DPI (1380 x 930): the system holds a new window to the screen.
  setsid Xvfb -displayfd 3 -screen 0 1920x1200x24 -nolisten tcp 3>"$fifo" 9>&- </dev/null >/dev/null 2>&1 &
  echo $! >"$prefix/xvfb.pid"
  local number
  read -r -t 20 number <"$fifo"
  rm -f "$fifo"
  echo ":$number" >"$prefix/xvfb.display"
}

{
  flock 9
  if [ -z "${DISPLAY:-}" ]; then
    if [ ! -s "$prefix/xvfb.display" ] || ! kill -0 "$(cat "$prefix/xvfb.pid" 2>/dev/null)" 2>/dev/null; then
      start_display
    fi
    DISPLAY=$(cat "$prefix/xvfb.display")
  fi
  export DISPLAY
  if [ ! -f "$prefix/ready" ]; then
    wineboot -i 9>&- </dev/null >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f 9>&- </dev/null >/dev/null 2>&1
    # Without a window manager, Wine waits for one on every first show unless windows are unmanaged.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f 9>&- </dev/null >/dev/null 2>&1
    wineserver -w 9>&-
    touch "$prefix/ready"
  fi
  install_system_dlls "$(dirname "$prefix")/system32" "$WINEPREFIX/drive_c/windows/system32"
  # A persistent wineserver cuts every later start from ~0.6 s to ~0.1 s. It must not inherit the
  # lock (fd 9) or the caller's output pipe, or it would hold both for its whole life.
  wineserver -p 9>&- </dev/null >/dev/null 2>&1 || true
} 9>"$prefix/lock"

# Wine's system processes (services, winedevice) are started by whichever program first needs
# them and outlive it, holding its standard output and error. Were those the caller's pipes,
# ctest would wait for end-of-file forever; so the program writes to files we then pass on.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

# Rarely (seen twice in some 2,500 starts, only in full parallel runs, never when traced), Wine
# ends a start with status 1 within a fraction of a second and nothing written at all, before
# the program's main has run. Such a start is tried again, at most twice, and logged, so that
# it shows but does not fail a test. A program that ran and failed has either written something
# or taken longer, and is never run twice.
for attempt in 1 2 3; do
  rc=0
  started=$(date +%s%N)
  timeout --kill-after=5 "${ORVANE_WINE_TIMEOUT:-120}" wine "$@" </dev/null >"$out" 2>"$err" || rc=$?
  elapsed_ms=$((($(date +%s%N) - started) / 1000000))
  if [ $rc -ne 1 ] || [ -s "$out" ] || [ -s "$err" ] || [ $elapsed_ms -ge 1000 ] || [ $attempt -eq 3 ]; then
    break
  fi
  echo "$(date '+%F %T') start $attempt ended with status 1 after $elapsed_ms ms, no output: $*" \
    >>"$prefix/failed-starts.log"
done
cat "$out"
cat "$err" >&2
exit $rc
