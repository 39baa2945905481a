#!/bin/sh
# bench_transfer beside a libtorrent client: the same 1 GiB torrent from four
# libtorrent seeders found through opentracker on loopback, fetched and
# checked by the engine and by a libtorrent session; prints both times, peak
# memory and the ratio (libtorrent time / engine time; goal >= 0.8).
#   BUILD=<build folder> sh bench/transfer_swarm.sh
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
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
i=0
until grep -qx ready "$dir/swarm.log" 2>/dev/null; do
  i=$((i + 1)); [ $i -lt 600 ] || { cat "$dir/swarm.log"; kill $ot $sw; exit 1; }
  sleep 0.1
done
(cd "$dir/www" && python3 -m http.server $((base + 5)) --bind 127.0.0.1 >/dev/null 2>&1) &
web=$!
sleep 0.5
cat "$f" >/dev/null
timed() {
  /usr/bin/time -f "%e %M" -o "$dir/time.txt" "$@" >"$dir/run.log" 2>&1 || { cat "$dir/run.log"; return 1; }
  cat "$dir/time.txt"
}
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
rc=0
rm -rf "$dir/out"; mkdir -p "$dir/out"
r=$(timed /usr/bin/python3 "$(pwd)/bench/lt_client.py" "$t" "$dir/out" $((base + 6))) || rc=1
t_lt=${r% *}; m_lt=${r#* }
rm -rf "$dir/out"; mkdir -p "$dir/out"
r=$(timed wine "$BUILD/bench/bench_transfer.exe" "Z:$(echo "$dir/out" | tr / '\\')" big.bin "$sha" \
  --torrent "http://127.0.0.1:$((base + 5))/big.torrent") || rc=1
t_v=${r% *}; m_v=${r#* }
wine_env_stop
kill $ot $sw $web 2>/dev/null
rm -rf "$dir/out"
python3 - "$t_v" "$t_lt" "$m_v" "$m_lt" <<'PY'
import sys
v, a, mv, ma = map(float, sys.argv[1:])
print("1 GiB torrent from four libtorrent seeders via opentracker (wall time incl. process start)")
print("  engine     : %.2f s  %.0f MiB/s  peak %.0f MiB" % (v, 1024 / v, mv / 1024))
print("  libtorrent : %.2f s  %.0f MiB/s  peak %.0f MiB" % (a, 1024 / a, ma / 1024))
print("  ratio (libtorrent time / engine time): %.2f  (goal >= 0.8)" % (a / v))
PY
exit $rc
