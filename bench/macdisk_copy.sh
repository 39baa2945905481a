#!/bin/sh
# Bootable-copy throughput against cp: makes a 1 GiB bare HFS volume with
# hformat, times `cp` of it on the same disk (page cache warmed first), then
# runs bench_macdisk under Wine on the same file, which prints the rates and
# the ratios (bootable copy time / plain copy time); best of three each.
#   BUILD=<build folder> sh bench/macdisk_copy.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="bench_macdisk" sh scripts/build.sh >/dev/null
dir="$BUILD/bench-macdisk"
rm -rf "$dir"
mkdir -p "$dir"
vol="$dir/volume.img"
head -c 1073741824 /dev/urandom >"$vol"
hformat -l "Bench Volume" "$vol" >/dev/null
cat "$vol" >/dev/null
# Best of three, as the Wine side times its copies.
cp_s=""
for round in 1 2 3; do
  t0=$(date +%s.%N)
  cp "$vol" "$dir/cp.img"
  t1=$(date +%s.%N)
  rm -f "$dir/cp.img"
  cp_s=$(python3 -c "print(min(x for x in [$t1 - $t0, ${cp_s:-1e9}]))")
done
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
wine "$BUILD/bench/bench_macdisk.exe" "Z:$(echo "$vol" | tr / '\\')" "$cp_s"
rc=$?
wine_env_stop
rm -rf "$dir"
exit $rc
