#!/bin/sh
# Builds the bench programs and runs them under Wine (on an Xvfb display of
# their own), printing what they measure: first the programs that need no
# preparation, in one Wine session, then the driver scripts, each of which
# makes its inputs and starts Wine itself. BUILD picks the build folder;
# arguments name the programs to run (default: all, as listed in
# <build>/bench/runs.txt by bench/CMakeLists.txt).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="benches" sh scripts/build.sh
# The software renderer set up as scripts/run.sh sets it up for the console.
export LP_NUM_THREADS="${LP_NUM_THREADS:-2}"
runs="$BUILD/bench/runs.txt"
wanted() { [ -z "$only" ] || echo " $only " | grep -q " $1 "; }
only="$*"
rc=0
exes=$(awk '$1 == "exe" { print $2 }' "$runs")
scripts=$(awk '$1 == "sh" { print $2 }' "$runs")
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
for name in $exes; do
  wanted "$name" || continue
  echo "== $name"
  wine "$BUILD/bench/$name.exe" || rc=1
done
wine_env_stop
for script in $scripts; do
  name=$(grep -o 'bench_[a-z0-9_]*' "$script" | head -n 1)
  wanted "$name" || wanted "$(basename "$script" .sh)" || continue
  echo "== $name ($(basename "$script"))"
  sh "$script" || rc=1
done
exit $rc
