#!/bin/sh
# Builds the program and starts it under Wine (on Xvfb when there is no display).
# Machines still running when the console closes (DETACH AND EXIT) keep the
# Wine session and its display; the next run joins them there, and the console
# finds them again (scripts/wine-env.sh). VUNK_SKIP_BUILD=1 runs the program
# already in $BUILD/bin as it is (a test runs a copy of its own).
set -e
cd "$(dirname "$0")/.."
if [ -z "$VUNK_SKIP_BUILD" ]; then
  sh scripts/deps.sh
  sh scripts/build.sh
fi
BUILD=${BUILD:-$(pwd)/build}
# Two threads of the software renderer: more cost more CPU for the same
# frames, and with one the home view's frame (drawing and rendering in turn)
# outlasts a sixtieth of a second (bench/console_cpu.sh measures both). The
# tests keep the renderer's default.
export LP_NUM_THREADS="${LP_NUM_THREADS:-2}"
VUNK_RUN_SESSION=1
. scripts/wine-env.sh
set +e
wine "$BUILD/bin/vunk.exe" "$@"
rc=$?
wine_env_stop
exit $rc
