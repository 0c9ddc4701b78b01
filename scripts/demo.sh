#!/usr/bin/env bash
# The main job: the management console registers with the local DMI service layer
# through the router, issues a command, unregisters, and prints each confirmation.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
prefix=$build/wineprefix
export WINEPREFIX=$prefix

"$top/scripts/wine-machine.sh" start "$prefix"
trap '"$top/scripts/wine-machine.sh" stop "$prefix"' EXIT
"$top/scripts/wine-run.sh" "$build/bin/dmiconsole.exe"
