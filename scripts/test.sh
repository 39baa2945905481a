#!/bin/sh
# Builds everything and runs every test under Wine; ends with
# "N passed, N failed, N skipped" (scripts/summarize.py names what was skipped).
set -e
cd "$(dirname "$0")/.."
# BUILD picks the build folder (default ./build); arguments go to ctest (-R name).
sh scripts/deps.sh
sh scripts/build.sh
BUILD=${BUILD:-$(pwd)/build}
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
(cd "$BUILD" && ctest --output-on-failure -j2 --timeout 900 "$@")
rc=$?
wine_env_stop
python3 scripts/summarize.py "$BUILD/Testing/Temporary/LastTest.log"
sum=$?
[ $rc -eq 0 ] && [ $sum -eq 0 ] && exit 0
exit 1
