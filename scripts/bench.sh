#!/bin/sh
# Builds the bench programs and runs each one under Wine (on an Xvfb display
# of its own), printing what they measure. BUILD picks the build folder;
# arguments name bench programs to run (default: all of them).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="benches" sh scripts/build.sh
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
rc=0
names="$*"
[ -z "$names" ] && names=$(cd "$BUILD/bench" && ls ./*.exe 2>/dev/null | sed 's|^\./||; s|\.exe$||')
for name in $names; do
  echo "== $name"
  wine "$BUILD/bench/$name.exe" || rc=1
done
wine_env_stop
exit $rc
