#!/usr/bin/env bash
# Makes interpreted (-Oif) stubs of an interface definition with widl:
#   widl-stubs.sh IDL OUTDIR NAME [client] [server]
# widl 7 describes an explicit binding-handle parameter as an [in] long, so the
# run time would send the handle's value as 4 bytes at the start of every
# request. Clearing that parameter's in/out flags leaves the handle to the
# procedure header, where it belongs, and keeps it off the wire.
set -euo pipefail

idl=$1 out=$2 name=$3
shift 3
args=(-Oif -I/usr/i686-w64-mingw32/include -h -H "$out/$name.h")
files=()
for side in "$@"; do
  case $side in
  client) args+=(-c -C "$out/${name}_c.c"); files+=("$out/${name}_c.c") ;;
  server) args+=(-s -S "$out/${name}_s.c"); files+=("$out/${name}_s.c") ;;
  *) echo "widl-stubs: unknown side '$side'" >&2; exit 2 ;;
  esac
done
i686-w64-mingw32-widl "${args[@]}" "$idl" || { echo "widl-stubs: widl failed on $idl" >&2; exit 1; }
for f in "${files[@]}"; do
  sed -i '/(parameter \(binding\|h\)) \*\//{n;s/NdrFcShort(0x48),\t\/\* flags: in, base type \*\//NdrFcShort(0x0),\t\/* binding handle: not marshalled *\//}' "$f"
  grep -q 'binding handle: not marshalled' "$f" \
    || { echo "widl-stubs: no binding-handle parameter fixed in $f" >&2; exit 1; }
done
