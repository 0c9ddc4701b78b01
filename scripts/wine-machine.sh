#!/usr/bin/env bash
# The project's Wine test machine: a 32-bit prefix inside the build tree.
#   wine-machine.sh start PREFIX   create the prefix if needed and keep its wineserver up
#   wine-machine.sh stop PREFIX    stop the prefix's wineserver
set -euo pipefail

action=${1:?usage: wine-machine.sh start|stop PREFIX}
prefix=${2:?usage: wine-machine.sh start|stop PREFIX}
export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all

case $action in
start)
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    echo "wine-machine: creating the test machine in $prefix" >&2
    # No Mono or Gecko: nothing here needs them, and their installers would ask.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 \
      || { echo "wine-machine: wineboot failed for $prefix" >&2; exit 1; }
    wineserver -w
  fi
  exec 9>&- # programs started below must not inherit the lock
  # Keep the server up between test programs (exit 2: one runs already), and
  # start the machine's own services now, detached from the caller's output:
  # started later by a test, they would hold its output pipe open.
  boot() {
    wineserver -p || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 \
      || { echo "wine-machine: the test machine does not start programs" >&2; exit 1; }
  }
  boot
  # Our endpoint mapper takes the place of Wine's rpcss, which must not start:
  # endpoints are not exclusive, so clients would reach either of the two.
  rpcss='HKLM\System\CurrentControlSet\Services\RpcSs'
  if ! wine reg query "$rpcss" /v Start 2>/dev/null | grep -q 0x4; then
    wine reg add "$rpcss" /v Start /t REG_DWORD /d 4 /f >/dev/null 2>&1 \
      || { echo "wine-machine: cannot disable rpcss in $prefix" >&2; exit 1; }
    wineserver -k 2>/dev/null || true
    wineserver -w
    boot
  fi
  mapper=$(dirname "$prefix")/bin/epmapper.exe
  if [ -f "$mapper" ]; then
    wine "$mapper" -start </dev/null >/dev/null 2>&1 \
      || { echo "wine-machine: the endpoint mapper does not start" >&2; exit 1; }
  fi
  ;;
stop)
  [ -d "$prefix" ] && wineserver -k 2>/dev/null || true
  ;;
*)
  echo "wine-machine: unknown action '$action'" >&2
  exit 2
  ;;
esac
