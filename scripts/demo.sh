#!/usr/bin/env bash
# The main job: the management console registers with the local DMI service layer
# through the router, issues a command, unregisters, and prints each confirmation,
# while the status monitor prints the board's changes as the router works.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
prefix=$build/wineprefix
export WINEPREFIX=$prefix

"$top/scripts/wine-machine.sh" start "$prefix"
trap '"$top/scripts/wine-machine.sh" stop "$prefix"' EXIT
cd "$build/bin"
echo "== statusmon: the machine's status board, for a few seconds"
"$top/scripts/wine-run.sh" statusmon.exe -seconds 4 &
monitor=$!
sleep 1
echo "== dmiconsole: a management application through VELKDLL.dll"
"$top/scripts/wine-run.sh" dmiconsole.exe
wait "$monitor" || { echo "demo: the status monitor failed" >&2; exit 1; }
