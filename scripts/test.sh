#!/bin/sh
# Builds everything and runs every test under Wine; ends with
# "N passed, N failed, N skipped" (scripts/summarize.py names what was skipped).
set -e
cd "$(dirname "$0")/.."
# BUILD picks the build folder (default ./build); arguments go to ctest (-R name).
if [ -z "$VUNK_NETNS" ]; then
  sh scripts/deps.sh
  sh scripts/build.sh
  # The tests run in a network of their own where the host allows one: QEMU's
  # QMP ports are fixed (4600-4699), and a second test run on the same host
  # (another build folder) would otherwise take the port a machine of this
  # one was just given. Only the loopback is needed.
  for ns in "unshare -n" "unshare -rn"; do
    if $ns sh -c 'ip link set lo up' 2>/dev/null; then
      VUNK_NETNS=1 exec $ns sh -c 'ip link set lo up && exec sh scripts/test.sh "$@"' sh "$@"
    fi
  done
fi
BUILD=${BUILD:-$(pwd)/build}
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
# CTest's own result list tells a skip code and an entry it never ran from a
# pass; its log does not.
results=$BUILD/Testing/Temporary/LastTestResults.xml
rm -f "$results"
(cd "$BUILD" && ctest --output-on-failure -j2 --timeout 900 --output-junit "$results" "$@")
rc=$?
wine_env_stop
python3 scripts/summarize.py "$BUILD/Testing/Temporary/LastTest.log" "$results"
sum=$?
[ $rc -eq 0 ] && [ $sum -eq 0 ] && exit 0
exit 1
