#!/bin/sh
# bench_transfer: the same 1 GiB file from the same three loopback nginx
# mirrors, fetched and SHA-256-checked by the engine (six slots) and by
# `aria2c -x6 -s6 --checksum`; prints both times, peak memory and the ratio
# (aria2c time / engine time: above 1.0 the engine is faster). Best of two.
#   BUILD=<build folder> sh bench/transfer_mirrors.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="bench_transfer" sh scripts/build.sh >/dev/null
base=$((${VUNK_PORT_BASE:-18000} + 300))
fixture_build="$BUILD/bench-transfer"
mkdir -p "$fixture_build"
VUNK_BUILD="$fixture_build" sh tests/fixtures/mirrors/fixture.sh start $base 1024
www="$fixture_build/tests/fixture-mirrors/www"
sha=$(cat "$www/big.bin.sha256")
urls="http://127.0.0.1:$base/big.bin http://127.0.0.1:$((base + 1))/big.bin http://127.0.0.1:$((base + 2))/big.bin"
out="$fixture_build/out"
cat "$www/big.bin" >/dev/null
# Prints "seconds peak_kib" of one timed command.
timed() {
  /usr/bin/time -f "%e %M" -o "$out/time.txt" "$@" >"$out/run.log" 2>&1 || { cat "$out/run.log"; return 1; }
  cat "$out/time.txt"
}
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
best_a=1e9; best_v=1e9; mem_a=0; mem_v=0; rc=0
for round in 1 2; do
  rm -rf "$out"; mkdir -p "$out"
  # shellcheck disable=SC2086
  r=$(timed aria2c -q -x6 -s6 -k1M --file-allocation=none --checksum=sha-256=$sha -d "$out" -o big.bin $urls) || rc=1
  best_a=$(python3 -c "print(min($best_a, ${r% *}))"); mem_a=${r#* }
  rm -rf "$out"; mkdir -p "$out"
  # shellcheck disable=SC2086
  r=$(timed wine "$BUILD/bench/bench_transfer.exe" "Z:$(echo "$out" | tr / '\\')" big.bin "$sha" $urls) || rc=1
  best_v=$(python3 -c "print(min($best_v, ${r% *}))"); mem_v=${r#* }
  [ "$(sha256sum "$out/big.bin" | cut -c1-64)" = "$sha" ] || { echo "engine result differs"; rc=1; }
done
wine_env_stop
VUNK_BUILD="$fixture_build" sh tests/fixtures/mirrors/fixture.sh stop
rm -rf "$out"
python3 - "$best_v" "$best_a" "$mem_v" "$mem_a" <<'PY'
import sys
v, a, mv, ma = map(float, sys.argv[1:])
mib = 1024.0
print("1 GiB from three nginx mirrors, SHA-256 checked (wall time incl. process start)")
print("  engine : %.2f s  %.0f MiB/s  peak %.0f MiB" % (v, mib / v, mv / 1024))
print("  aria2c : %.2f s  %.0f MiB/s  peak %.0f MiB" % (a, mib / a, ma / 1024))
print("  ratio (aria2c time / engine time): %.2f  (goal >= 1.0)" % (a / v))
PY
exit $rc
