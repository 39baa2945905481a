#!/bin/sh
# Configures and builds the Windows program and its tests into ./build.
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
cmake --no-warn-unused-cli -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" -- --no-print-directory
