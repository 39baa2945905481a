#!/bin/sh
# Feature video frame rates: generates the assets, places a discarding sink
# and the ffmpeg stand-in each under a root of its own, and runs bench_qe
# under Wine, which prints both rates and their ratio.
#   BUILD=<build folder> sh bench/qe_rate.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="bench_qe ff_sink ffmpeg_standin" sh scripts/build.sh >/dev/null
dir="$BUILD/bench-qe"
rm -rf "$dir"
mkdir -p "$dir/sink/ffmpeg/bin" "$dir/encoder/ffmpeg/bin" "$dir/out"
sh tests/tools/make_assets.sh "$dir/assets"
cp "$BUILD/bench/ff_sink.exe" "$dir/sink/ffmpeg/bin/ffmpeg.exe"
cp "$BUILD/ffmpeg/bin/ffmpeg.exe" "$dir/encoder/ffmpeg/bin/ffmpeg.exe"
w() { printf 'Z:%s' "$1" | tr / '\\'; }
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
wine "$BUILD/bench/bench_qe.exe" "$(w "$dir/assets")" "$(w "$dir/sink")" "$(w "$dir/encoder")" "$(w "$dir/out")"
rc=$?
wine_env_stop
rm -rf "$dir"
exit $rc
