#!/bin/sh
# Builds the program and starts it under Wine (on Xvfb when there is no display).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
BUILD=${BUILD:-$(pwd)/build}
. scripts/wine-env.sh
set +e
wine "$BUILD/bin/vunk.exe" "$@"
rc=$?
wine_env_stop
exit $rc
