#!/usr/bin/env bash
# The main job, on the test machine:
#  1. the management console registers with the local DMI service layer through the
#     router, issues a command and unregisters, printing each confirmation, while the
#     status monitor prints the board's changes as the router works;
#  2. the registry instrumentation's component is installed, its setup program
#     configures it, and the console reads registry values as DMI rows.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
prefix=$build/wineprefix
export WINEPREFIX=$prefix

# The setup program has a window: give it a display when there is none.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a "$0" "$@"
fi

"$top/scripts/wine-machine.sh" start "$prefix"
trap '"$top/scripts/wine-machine.sh" stop "$prefix"' EXIT
run() { "$top/scripts/wine-run.sh" "$@"; }
cd "$build/bin"

echo "== statusmon: the machine's status board, for a few seconds"
run statusmon.exe -seconds 4 &
monitor=$!
sleep 1
echo "== dmiconsole: a management application through VELKDLL.dll"
run dmiconsole.exe
wait "$monitor" || { echo "demo: the status monitor failed" >&2; exit 1; }

echo
echo "== dmiinst: the registry instrumentation's component"
mif=$(winepath -w "$top/registry-ci/instrumentation/registry.mif")
installed=$(run dmiinst.exe "$mif" | tr -d '\r')
echo "$installed"
id=$(sed -n 's/^Component \([0-9]*\) installed$/\1/p' <<<"$installed")
[ -n "$id" ] || { echo "demo: the component was not installed" >&2; exit 1; }
cleanup() {
  run dmiinst.exe /remove "$id" >/dev/null || true
  run reg.exe delete 'HKLM\SYSTEM\CurrentControlSet\Services\ROKIN' /f >/dev/null 2>&1 || true
  "$top/scripts/wine-machine.sh" stop "$prefix"
}
trap cleanup EXIT
echo "== rokinsu: configures the instrumentation from the component's key list"
run rokinsu.exe
echo "== dmiconsole -r $id: registry values read as DMI rows (the first ten, and the end)"
rows=$(run dmiconsole.exe -r "$id" | tr -d '\r')
head -16 <<<"$rows" | cut -c1-160
echo "  ..."
tail -3 <<<"$rows"
