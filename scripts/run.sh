#!/bin/sh
# Builds the program and starts it under Wine (on Xvfb when there is no display).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
BUILD=${BUILD:-$(pwd)/build}
# Two threads of the software renderer: more cost more CPU for the same
# frames, and with one the home view's frame (drawing and rendering in turn)
# outlasts a sixtieth of a second (bench/console_cpu.sh measures both). The
# tests keep the renderer's default.
export LP_NUM_THREADS="${LP_NUM_THREADS:-2}"
. scripts/wine-env.sh
set +e
wine "$BUILD/bin/vunk.exe" "$@"
rc=$?
wine_env_stop
exit $rc
