#!/usr/bin/env bash
# Takes the pictures of rokinsu in docs/rokinsu/: the message boxes of a machine
# without the registry MIF and of a service layer that refuses the registration,
# and the status window as rokinsu draws it after a run.
# Run by hand after scripts/build.sh; it uses the build's test machine on a
# virtual display of its own and removes what it installs.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$top/build}
out=$top/docs/rokinsu

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

export WINEPREFIX=$build/wineprefix WINEARCH=win32 WINEDEBUG=-all
machine() { "$top/scripts/wine-machine.sh" "$1" "$WINEPREFIX"; }
config='HKLM\SYSTEM\CurrentControlSet\Services\ROKIN'
knobs='HKLM\SOFTWARE\DMIAPI\TestKnobs'
[ -x "$build/bin/rokinsu.exe" ] || { echo "take_screenshots: build first (scripts/build.sh)" >&2; exit 1; }
mkdir -p "$out"
cd "$build/bin"

machine start
had_config=yes
wine reg query "$config" >/dev/null 2>&1 || had_config=no
mif=rokinsu-screenshot.mif
id=""
# Removes what the pictures needed; each step may find nothing left to remove.
cleanup() {
  wineserver -k 2>/dev/null || true
  machine start
  wine reg delete "$knobs" /f >/dev/null 2>&1 || true
  if [ -n "$id" ]; then
    wine dmiinst.exe /remove "$id" >/dev/null 2>&1 || true
  fi
  if [ "$had_config" = no ]; then
    wine reg delete "$config" /f >/dev/null 2>&1 || true
  elif [ -n "$id" ]; then
    wine reg delete "$config\\Component $id" /f >/dev/null 2>&1 || true
  fi
  rm -f "$mif"
  machine stop
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Shows PROGRAM on a virtual desktop with title bars and takes the picture FILE
# once the screen shows more than the bare desktop and has stopped changing.
picture() {
  wine explorer /desktop=rokin,800x600 "$1" >/dev/null 2>&1 &
  local shot=$out/.$2 previous="" shown=no
  for _ in $(seq 30); do
    sleep 1
    import -window root "$shot"
    local now
    now=$(md5sum <"$shot")
    if [ "$now" = "$previous" ] && [ "$(identify -format %k "$shot")" -gt 2 ]; then
      shown=yes
      break
    fi
    previous=$now
  done
  [ "$shown" = yes ] || { rm -f "$shot"; echo "take_screenshots: $1 showed nothing (is a registry MIF installed already?)" >&2; exit 1; }
  mv "$shot" "$out/$2"
  wineserver -k 2>/dev/null || true
  machine start
}

picture rokinsu.exe mif-not-installed.png
wine reg add "$knobs" /v RefuseRegistration /t REG_DWORD /d 1 /f >/dev/null
picture rokinsu.exe registration-refused.png
wine reg delete "$knobs" /f >/dev/null

cat >"$mif" <<'MIF'
component "Windows NT registry"
group 2 "ORVANE|Registry Key List|1.0"
attribute 1 string key
row "HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion"
row "HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\ComputerName"
group 3 "ORVANE|Registry Values|1.0" instrumentation "ROKINDLL.dll"
attribute 1 string key
attribute 2 string key
attribute 3 string
attribute 4 integer key
attribute 5 string
MIF
id=$(wine dmiinst.exe "$mif" | tr -d '\r' | sed -n 's/^Component \([0-9]*\) installed$/\1/p')
[ -n "$id" ] || { echo "take_screenshots: installing the sample component failed" >&2; exit 1; }
picture rokinsu_status_view.exe status-window.png
echo "take_screenshots: pictures in $out"
