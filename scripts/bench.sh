#!/usr/bin/env bash
# Runs every benchmark program (build/bin/*_bench.exe) on the test machine.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
export WINEPREFIX=$build/wineprefix

"$top/scripts/wine-machine.sh" start "$WINEPREFIX"
trap '"$top/scripts/wine-machine.sh" stop "$WINEPREFIX"' EXIT
shopt -s nullglob
benches=("$build"/bin/*_bench.exe)
[ ${#benches[@]} -gt 0 ] || { echo "bench: no benchmark programs in $build/bin (build first)" >&2; exit 1; }
for b in "${benches[@]}"; do
  echo "== $(basename "$b")"
  (cd "$build/bin" && "$top/scripts/wine-run.sh" "$b")
done
