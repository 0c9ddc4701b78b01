#!/usr/bin/env bash
# Runs every test on the test machine under a virtual X display, then stops the machine.
# Extra arguments go to ctest (for example -R router).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
prefix=$build/wineprefix

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

"$top/scripts/wine-machine.sh" start "$prefix"
trap '"$top/scripts/wine-machine.sh" stop "$prefix"' EXIT
cd "$build"
ctest --output-on-failure --timeout 600 "$@"
