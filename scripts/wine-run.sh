#!/usr/bin/env bash
# Runs one Windows program on the test machine (the CTest emulator).
set -euo pipefail

: "${WINEPREFIX:?wine-run: WINEPREFIX names the test machine}"
export WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all}
[ -f "$WINEPREFIX/system.reg" ] || "$(dirname "$0")/wine-machine.sh" start "$WINEPREFIX"
exec wine "$@"
