#!/usr/bin/env bash
# Configures and builds the project for 32-bit Windows into BUILD_DIR (default build/).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null \
  || { echo "build: cmake configure failed" >&2; exit 1; }
cmake --build "$build" -j2 || { echo "build: compile failed" >&2; exit 1; }
