#!/bin/sh
# bench_transfer beside a libtorrent client: the same 1 GiB torrent from four
# libtorrent seeders found through opentracker on loopback, in rounds of
# three runs each:
#   - a libtorrent client (every piece checked by SHA-1), then sha256sum of
#     what it wrote (the same work as the engine: a verified file),
#   - the bound: SHA-256 through the engine's Hasher over 1 GiB already in
#     memory, nothing else to wait for (no verified download can be faster),
#   - the engine: when its last piece was in and checked by SHA-1, and when
#     the whole file was verified by SHA-256.
# Prints each round with the engine's ratio to that round's bound, then each
# time (best and median), the median as a multiple of the median bound, peak
# memory, the ratios, and the load average.
#   BUILD=<build folder> ROUNDS=3 sh bench/transfer_swarm.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
ROUNDS=${ROUNDS:-3}
export BUILD
VUNK_TARGETS="bench_transfer" sh scripts/build.sh >/dev/null
base=$((${VUNK_PORT_BASE:-18000} + 320))
dir="$BUILD/bench-swarm"
mkdir -p "$dir/www" "$dir/ot" "$dir/out"
here=$(pwd)/tests/fixtures/mirrors
f="$dir/www/big.bin"
[ -f "$f" ] && [ "$(stat -c %s "$f")" -eq 1073741824 ] || head -c 1073741824 /dev/urandom > "$f"
sha=$(sha256sum "$f" | cut -c1-64)
t="$dir/www/big.torrent"
rm -f "$t"
mktorrent -l 20 -a "http://127.0.0.1:$base/announce" -o "$t" "$f" >/dev/null
/usr/bin/python3 -c "import libtorrent as lt, sys; print(lt.torrent_info(sys.argv[1]).info_hash())" \
  "$t" > "$dir/ot/whitelist.txt"
chmod 755 "$dir/ot"; chmod 644 "$dir/ot/whitelist.txt"
printf '%s\n' "listen.tcp_udp 127.0.0.1:$base" "access.whitelist /whitelist.txt" \
  "tracker.rootdir $dir/ot" "tracker.user nobody" > "$dir/opentracker.conf"
opentracker -f "$dir/opentracker.conf" > "$dir/opentracker.log" 2>&1 &
ot=$!
/usr/bin/python3 "$here/swarm.py" "$t" "$dir/www" "$dir/out" 0 0 \
  $((base + 1)) $((base + 2)) $((base + 3)) $((base + 4)) > "$dir/swarm.log" 2>&1 &
sw=$!
(cd "$dir/www" && exec python3 -m http.server $((base + 5)) --bind 127.0.0.1 >/dev/null 2>&1) &
web=$!
i=0
until grep -qx ready "$dir/swarm.log" 2>/dev/null &&
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $((base + 5))), 1)" 2>/dev/null; do
  i=$((i + 1)); [ $i -lt 600 ] || { cat "$dir/swarm.log"; kill $ot $sw $web; exit 1; }
  sleep 0.1
done
cat "$f" >/dev/null
res="$dir/results.txt"
: >"$res"
# Appends "NAME wall peak_kib [own times...]" for one timed command.
timed() {
  name=$1
  shift
  rm -rf "$dir/out"
  mkdir -p "$dir/out"
  /usr/bin/time -f "%e %M" -o "$dir/time.txt" "$@" >"$dir/run.log" 2>&1 || { cat "$dir/run.log"; return 1; }
  echo "$name $(cat "$dir/time.txt") $(grep -o '[0-9][0-9.]* s' "$dir/run.log" | tr -d ' s' | tr '\n' ' ')" >>"$res"
}
load0=$(cut -d' ' -f1-3 /proc/loadavg)
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
rc=0
for round in $(seq "$ROUNDS"); do
  timed lt /usr/bin/python3 "$(pwd)/bench/lt_client.py" "$t" "$dir/out" $((base + 6)) || rc=1
  /usr/bin/time -f "%e" -o "$dir/time.txt" sha256sum "$dir/out/big.bin" >/dev/null
  echo "lt_sha $(cat "$dir/time.txt")" >>"$res"
  # The bound right before the engine: on a shared machine it moves by a
  # tenth from one minute to the next.
  timed hash wine "$BUILD/bench/bench_transfer.exe" --hash 1073741824 || rc=1
  timed engine wine "$BUILD/bench/bench_transfer.exe" "Z:$(echo "$dir/out" | tr / '\\')" big.bin "$sha" \
    --torrent "http://127.0.0.1:$((base + 5))/big.torrent" || rc=1
  [ "$(sha256sum "$dir/out/big.bin" | cut -c1-64)" = "$sha" ] || { echo "engine result differs"; rc=1; }
done
wine_env_stop
kill $ot $sw $web 2>/dev/null
rm -rf "$dir/out"
python3 - "$res" "$load0" "$(cut -d' ' -f1-3 /proc/loadavg)" "$(nproc)" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    f = line.split()
    runs.setdefault(f[0], []).append([float(x) for x in f[1:]])
def col(name, i):
    return [r[i] for r in runs[name]]
def med(v):
    return statistics.median(v)
bound = med(col("hash", 2))          # hash: wall, peak, own
lt = col("lt", 2)                    # lt: wall, peak, done
lt_total = [a + b for a, b in zip(lt, col("lt_sha", 0))]
eng_done, eng_pieces = col("engine", 2), col("engine", 3)  # engine: wall, peak, verified, pieces
print("1 GiB torrent from four loopback libtorrent seeders via opentracker; %d rounds, load %s -> %s on %s cores"
      % (len(runs["hash"]), sys.argv[2], sys.argv[3], sys.argv[4]))
print("  the bound: SHA-256 (Hasher) over 1 GiB in memory, nothing else to wait for")
for k, (h, d, p) in enumerate(zip(col("hash", 2), eng_done, eng_pieces)):
    print("  round %d: bound %.2fs, engine verified %.2fs = %.2fx the bound, last piece in %.2fs"
          % (k + 1, h, d, d / h, p))
print("  %-40s %7s %7s %8s %9s" % ("", "best", "median", "x bound", "peak MiB"))
rows = [("SHA-256 in memory (the bound)", col("hash", 2), max(col("hash", 1))),
        ("libtorrent client, every piece in", lt, max(col("lt", 1))),
        ("libtorrent client, then sha256sum", lt_total, None),
        ("engine, last piece in (SHA-1)", eng_pieces, None),
        ("engine, verified (SHA-256)", eng_done, max(col("engine", 1))),
        ("engine, wall", col("engine", 0), None)]
for label, v, peak in rows:
    print("  %-40s %6.2fs %6.2fs %8.2f %9s" % (label, min(v), med(v), med(v) / bound,
                                              "%.0f" % (peak / 1024) if peak else ""))
r1 = med(eng_done) / bound
r2 = med(eng_pieces) / med(lt)
print("  engine verified / libtorrent then sha256sum: %.2f; / libtorrent alone: %.2f"
      % (med(eng_done) / med(lt_total), med(eng_done) / med(lt)))
print("  goal: verified within 1.1x the bound (medians): %.2fx, %s" % (r1, "met" if r1 <= 1.1 else "not met"))
print("  goal: last piece within 1.25x of libtorrent's finish: %.2fx, %s" % (r2, "met" if r2 <= 1.25 else "not met"))
PY
exit $rc
