#!/bin/sh
# Makes app/vunk.ico again with the program's own icon export (under Wine),
# from a build in ./build (or BUILD).
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
VUNK_TARGETS=vunk sh scripts/build.sh
out=$(mktemp -d)
. scripts/wine-env.sh
wine "$BUILD/bin/vunk.exe" --export-icons "Z:$out" || { wine_env_stop; exit 1; }
wineserver -w
wine_env_stop
cp "$out/vunk.ico" app/vunk.ico
rm -rf "$out"
echo "app/vunk.ico: $(wc -c < app/vunk.ico) bytes"
