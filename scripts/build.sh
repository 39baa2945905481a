#!/bin/sh
# Configures and builds the Windows program and its tests into ./build.
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
JOBS=${JOBS:-$(nproc)}
cmake --no-warn-unused-cli -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# VUNK_TARGETS limits the build to some targets (a developer working on one area).
if [ -n "$VUNK_TARGETS" ]; then
  # shellcheck disable=SC2086
  cmake --build "$BUILD" -j"$JOBS" --target $VUNK_TARGETS -- --no-print-directory
else
  cmake --build "$BUILD" -j"$JOBS" -- --no-print-directory
fi
