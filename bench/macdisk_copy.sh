#!/bin/sh
# Bootable-copy throughput against cp: makes a 1 GiB bare HFS volume with
# hformat, times `cp` of it on the same disk (page cache warmed first), then
# runs bench_macdisk under Wine on the same file, which prints both rates and
# the ratio (bootable copy time / cp time).
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
t0=$(date +%s.%N)
cp "$vol" "$dir/cp.img"
t1=$(date +%s.%N)
rm -f "$dir/cp.img"
cp_s=$(echo "$t1 - $t0" | bc -l 2>/dev/null || python3 -c "print($t1 - $t0)")
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
wine "$BUILD/bench/bench_macdisk.exe" "Z:$(echo "$vol" | tr / '\\')" "$cp_s"
rc=$?
wine_env_stop
rm -rf "$dir"
exit $rc
