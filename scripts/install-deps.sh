#!/usr/bin/env bash
# Installs the Debian packages the build and the test machine need, if missing.
set -euo pipefail

packages=(wine wine32:i386 wine64 g++-mingw-w64-i686 mingw-w64-tools cmake make
          googletest xvfb xauth imagemagick python3-impacket)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo apt-get update -qq || { echo "install-deps: apt-get update failed" >&2; exit 1; }
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null \
  || { echo "install-deps: apt-get install failed for ${missing[*]}" >&2; exit 1; }
