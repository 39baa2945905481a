#!/bin/sh
# bench_transfer beside aria2c: the same 1 GiB file from the same three
# loopback nginx mirrors, in rounds of five runs each:
#   - the receive alone: the file in 16 MiB ranges over six connections
#     through HttpReq, as the engine reads, the bytes thrown away,
#   - the bound: SHA-256 through the engine's Hasher over 1 GiB already in
#     memory, nothing else to wait for (no verified download can be faster),
#   - the engine (six slots, every piece checked, the file verified by SHA-256),
#   - aria2c -x6 -s6 (no check),
#   - aria2c -x6 -s6 --checksum=sha-256=... (the same work as the engine).
# Prints each round with the engine's ratio to that round's bound, then each
# time (best and median of the rounds), the median as a multiple of the
# median bound, peak memory, the ratios to aria2c, and the load average.
#   BUILD=<build folder> ROUNDS=3 sh bench/transfer_mirrors.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
ROUNDS=${ROUNDS:-3}
export BUILD
VUNK_TARGETS="bench_transfer" sh scripts/build.sh >/dev/null
base=$((${VUNK_PORT_BASE:-18000} + 300))
fixture_build="$BUILD/bench-transfer"
mkdir -p "$fixture_build"
VUNK_BUILD="$fixture_build" sh tests/fixtures/mirrors/fixture.sh start $base 1024 >/dev/null
www="$fixture_build/tests/fixture-mirrors/www"
sha=$(cat "$www/big.bin.sha256")
urls="http://127.0.0.1:$base/big.bin http://127.0.0.1:$((base + 1))/big.bin http://127.0.0.1:$((base + 2))/big.bin"
out="$fixture_build/out"
res="$fixture_build/results.txt"
: >"$res"
cat "$www/big.bin" >/dev/null
# Appends "NAME wall peak_kib [inner]" for one timed command; its output
# (the engine's own times) goes to run.log.
timed() {
  name=$1
  shift
  rm -rf "$out"
  mkdir -p "$out"
  /usr/bin/time -f "%e %M" -o "$fixture_build/time.txt" "$@" >"$fixture_build/run.log" 2>&1 ||
    { cat "$fixture_build/run.log"; return 1; }
  echo "$name $(cat "$fixture_build/time.txt") $(grep -o '^[a-z]* [0-9.]*' "$fixture_build/run.log" | head -1 | cut -d' ' -f2)" >>"$res"
}
load0=$(cut -d' ' -f1-3 /proc/loadavg)
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
rc=0
for round in $(seq "$ROUNDS"); do
  # shellcheck disable=SC2086
  timed receive wine "$BUILD/bench/bench_transfer.exe" --receive 6 $urls || rc=1
  # The bound right before the engine: on a shared machine it moves by a
  # tenth from one minute to the next.
  timed hash wine "$BUILD/bench/bench_transfer.exe" --hash 1073741824 || rc=1
  # shellcheck disable=SC2086
  timed engine wine "$BUILD/bench/bench_transfer.exe" "Z:$(echo "$out" | tr / '\\')" big.bin "$sha" $urls || rc=1
  [ "$(sha256sum "$out/big.bin" | cut -c1-64)" = "$sha" ] || { echo "engine result differs"; rc=1; }
  # shellcheck disable=SC2086
  timed aria2c aria2c -q -x6 -s6 -k1M --file-allocation=none -d "$out" -o big.bin $urls || rc=1
  # shellcheck disable=SC2086
  timed aria2c_sha aria2c -q -x6 -s6 -k1M --file-allocation=none --checksum=sha-256=$sha -d "$out" -o big.bin \
    $urls || rc=1
done
wine_env_stop
VUNK_BUILD="$fixture_build" sh tests/fixtures/mirrors/fixture.sh stop >/dev/null
rm -rf "$out"
python3 - "$res" "$load0" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    f = line.split()
    # name wall peak [inner]: the program's own time where it prints one
    runs.setdefault(f[0], []).append((float(f[3]) if len(f) > 3 else float(f[1]), float(f[1]), float(f[2]) / 1024))
def stat(name, i):
    v = [r[i] for r in runs[name]]
    return min(v), statistics.median(v)
print("1 GiB from three loopback nginx mirrors, verified by SHA-256; %d rounds, load %s -> %s on %s cores"
      % (len(runs["hash"]), sys.argv[2], sys.argv[3], sys.argv[4]))
print("  the bound: SHA-256 (Hasher) over 1 GiB in memory, nothing else to wait for")
for k, (h, e, r) in enumerate(zip(runs["hash"], runs["engine"], runs["receive"])):
    print("  round %d: bound %.2fs, engine %.2fs = %.2fx the bound; receive alone %.2fs"
          % (k + 1, h[0], e[0], e[0] / h[0], r[0]))
bound = stat("hash", 0)[1]
print("  %-34s %7s %7s %8s %9s" % ("", "best", "median", "x bound", "peak MiB"))
rows = [("SHA-256 in memory (the bound)", "hash", 0), ("receive alone (HttpReq, 6 slots)", "receive", 0),
        ("engine, in process", "engine", 0), ("engine, wall", "engine", 1),
        ("aria2c -x6 -s6", "aria2c", 1), ("aria2c -x6 -s6 --checksum=sha-256", "aria2c_sha", 1)]
for label, name, i in rows:
    best, med = stat(name, i)
    peak = max(r[2] for r in runs[name])
    print("  %-34s %6.2fs %6.2fs %8.2f %9.0f" % (label, best, med, med / bound, peak))
eng = stat("engine", 1)[1]
print("  engine wall / aria2c: %.2f (no check), %.2f (with its checksum: the same work)"
      % (eng / stat("aria2c", 1)[1], eng / stat("aria2c_sha", 1)[1]))
ratio = stat("engine", 0)[1] / bound
print("  goal: within 1.1x the bound (medians): %.2fx, %s" % (ratio, "met" if ratio <= 1.1 else "not met"))
PY
exit $rc
