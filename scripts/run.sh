#!/usr/bin/env bash
# Builds orvane.exe with its bundle and starts it under Wine with the stand-in engine, in a Wine
# virtual desktop so that the taskbar and the notification area show.
#
#   bash scripts/run.sh [SECONDS]
#
# With a display ($DISPLAY) the desktop opens there and the script waits until the host ends
# (its tray menu's exit, or closing the desktop). Without one (a server, CI) it starts its own
# Xvfb, keeps the host running SECONDS (default 6), writes a screenshot and prints its path, then
# ends the Wine session, which sends the host the end-of-session messages it answers by removing
# the kill switch and ending the VPN core, and checks that the host has ended.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-6}
bundle=$root/build/windows/bundle
run_dir=$root/build/windows/run
prefix=$run_dir/wine
screenshot=$run_dir/orvane-screenshot.png

say() { echo "==== $*"; }

say "Checking the packages the build needs (installs what is missing)"
bash scripts/deps.sh

say "Building orvane.exe and its bundle (cross-compiled with mingw-w64; the first build takes a few minutes)"
cmake --preset windows >/dev/null
cmake --build --preset windows --target orvane orvane_bundle_standins

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# Wine names Unix files in the locale's character set: under a plain "C" locale (a bare root shell,
# a fresh machine) it cannot create or open a path with letters outside ASCII.
if [ "$(locale charmap 2>/dev/null)" != "UTF-8" ]; then
  export LC_ALL=C.UTF-8
fi
# The stand-in fwpuclnt.dll (put into the prefix's system folder below) instead of Wine's own,
# whose filtering functions fail or crash.
export WINEDLLOVERRIDES="mscoree,mshtml=;fwpuclnt=n"
# The stand-in engine runs its scripted stand-in application in the view (Connect / Disconnect,
# the tray menu's toggle) and serves its control pipe, for `standin-control.exe` (README).
export ORVANE_STANDIN_APP=${ORVANE_STANDIN_APP:-1}
export ORVANE_STANDIN_CONTROL=${ORVANE_STANDIN_CONTROL:-orvane}
mkdir -p "$run_dir"

xvfb_pid=""
own_display=false
cleanup() {
  # Only what this script started: the prefix's wineserver and our own Xvfb.
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  say "No display set: starting a virtual X server (Xvfb)"
  fifo=$run_dir/xvfb.fd
  rm -f "$fifo"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=:$number
  own_display=true
fi

if [ ! -f "$prefix/ready" ]; then
  say "Creating the Wine prefix $prefix (once; takes a few seconds)"
  wineboot -i </dev/null >/dev/null 2>&1 || true
  # A crash must end the process with its exception code, not hang on an error dialog.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
  wineserver -w
  touch "$prefix/ready"
fi
# Where the system's fwpuclnt.dll is, the only folder the kill switch loads it from.
cp "$root/build/windows/system32/fwpuclnt.dll" "$prefix/drive_c/windows/system32/fwpuclnt.dll"

# The host's Unix processes in this prefix.
host_pids() {
  local pid
  for pid in $(pgrep -x orvane.exe 2>/dev/null); do
    if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$prefix"; then
      echo "$pid"
    fi
  done
}

say "Starting orvane.exe on display $DISPLAY in a Wine virtual desktop (1280 x 800)"
cd "$bundle"
if ! $own_display; then
  wine explorer /desktop=Orvane,1280x800 orvane.exe </dev/null
  say "The host has ended"
  exit 0
fi

wine explorer /desktop=Orvane,1280x800 orvane.exe </dev/null >"$run_dir/wine.log" 2>&1 &
for _ in $(seq 1 100); do
  [ -n "$(host_pids)" ] && break
  sleep 0.2
done
pids=$(host_pids)
if [ -z "$pids" ]; then
  say "orvane.exe did not start; Wine's output is in $run_dir/wine.log"
  exit 1
fi
say "orvane.exe runs (process $pids); keeping it running for $seconds seconds"
sleep "$seconds"

import -window root "$screenshot"
say "Screenshot: $screenshot"

say "Ending the Wine session: the host gets WM_QUERYENDSESSION and WM_ENDSESSION"
# On the host's desktop: wineboot sends the messages to the windows of its own desktop only.
wine explorer /desktop=Orvane wineboot --end-session </dev/null >/dev/null 2>&1 || true
for _ in $(seq 1 50); do
  [ -z "$(host_pids)" ] && break
  sleep 0.2
done
if [ -n "$(host_pids)" ]; then
  say "orvane.exe is still running after the end of the session"
  exit 1
fi
say "The host has ended"
