#!/bin/sh
# Builds the program and starts it under Wine (on Xvfb when there is no display).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
BUILD=${BUILD:-$(pwd)/build}
# One thread of the software renderer: for the console's frames more
# threads cost more CPU for the same frames (bench/console_cpu.sh measures
# it). The tests keep the renderer's default.
export LP_NUM_THREADS="${LP_NUM_THREADS:-1}"
. scripts/wine-env.sh
set +e
wine "$BUILD/bin/vunk.exe" "$@"
rc=$?
wine_env_stop
exit $rc
