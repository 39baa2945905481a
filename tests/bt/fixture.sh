#!/bin/sh
# Starts or stops the real peers the BitTorrent and HTTP range tests talk to,
# all on loopback:
#   fixture.sh start PORT_BASE | fixture.sh stop
#   PORT_BASE      nginx serving www/ (a range-capable mirror)
#   PORT_BASE+1    opentracker, HTTP and UDP, whitelisting the seeded torrent
#   PORT_BASE+2    a libtorrent seeder of lt-single.torrent (swarm.py)
#   PORT_BASE+3,4  two more libtorrent DHT nodes
#   PORT_BASE+5..9 scripted DHT nodes that lead a lookup on (dht_chain.py)
# Everything lives in <build>/tests/fixture-bt; state.txt lists what the
# tests need to know (key=value lines).
set -e
here=$(cd "$(dirname "$0")" && pwd)
dir="${VUNK_BUILD:?}/tests/fixture-bt"
. "$here/../support/fixture_lib.sh"

stop() {
  stop_pid "$dir/chain.pid"
  stop_pid "$dir/swarm.pid"
  stop_pid "$dir/opentracker.pid"
  stop_pid "$dir/nginx.pid"
}

# The torrents: mktorrent's and libtorrent's, single- and multi-file.
make_torrents() {
  base=$1
  w="$dir/www"
  mkdir -p "$w/multi/sub"
  python3 "$here/make_data.py" "$w/multi/one.bin" 100000
  printf 'x' > "$w/multi/sub/two.txt"
  python3 "$here/make_data.py" "$w/multi/sub/three.bin" 70001
  : > "$w/multi/empty"
  mktorrent -l 15 -a "http://127.0.0.1:$((base + 1))/announce" -o "$dir/mk-single.torrent" "$w/data.bin" >/dev/null
  mktorrent -l 15 -a http://a.invalid/announce -a udp://b.invalid:80/announce -w "http://127.0.0.1:$base/" \
    -p -o "$dir/mk-multi.torrent" "$w/multi" >/dev/null
  /usr/bin/python3 "$here/make_torrents.py" "$dir" $((base + 1)) "$base" >> "$dir/state.txt"
}

# opentracker refuses to run as root and reads its whitelist inside the
# chroot it enters (tracker.rootdir), as the user it becomes.
start_tracker() {
  port=$1
  mkdir -p "$dir/ot"
  grep '^ih_lt-single=' "$dir/state.txt" | cut -d= -f2 > "$dir/ot/whitelist.txt"
  chmod 755 "$dir/ot"
  chmod 644 "$dir/ot/whitelist.txt"
  printf '%s\n' "listen.tcp_udp 127.0.0.1:$port" "access.whitelist /whitelist.txt" \
    "tracker.rootdir $dir/ot" "tracker.user nobody" > "$dir/opentracker.conf"
  opentracker -f "$dir/opentracker.conf" > "$dir/opentracker.log" 2>&1 &
  echo $! > "$dir/opentracker.pid"
}

start_swarm() {
  base=$1
  /usr/bin/python3 "$here/swarm.py" "$dir" $((base + 2)) $((base + 3)) $((base + 4)) > "$dir/swarm.log" 2>&1 &
  echo $! > "$dir/swarm.pid"
  wait_ready swarm
  grep -v '^ready$' "$dir/swarm.log" >> "$dir/state.txt"
  printf 'tracker=127.0.0.1:%s\n' $((base + 1)) >> "$dir/state.txt"
}

start_nginx() {
  port=$1
  mkdir -p "$dir/www" "$dir/nginx-tmp"
  cat > "$dir/nginx.conf" <<CONF
daemon off;
master_process off;
error_log "$dir/nginx-error.log";
pid "$dir/nginx-own.pid";
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path "$dir/nginx-tmp";
  proxy_temp_path "$dir/nginx-tmp";
  fastcgi_temp_path "$dir/nginx-tmp";
  uwsgi_temp_path "$dir/nginx-tmp";
  scgi_temp_path "$dir/nginx-tmp";
  server { listen 127.0.0.1:$port; root "$dir/www"; }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" > "$dir/nginx.log" 2>&1 &
  echo $! > "$dir/nginx.pid"
}

case "$1" in
  start)
    base=${2:?}
    stop
    rm -rf "$dir"
    mkdir -p "$dir/www"
    python3 "$here/make_data.py" "$dir/www/data.bin" 3000000
    start_nginx "$base"
    wait_port "$base"
    {
      printf 'mirror=http://127.0.0.1:%s/data.bin\n' "$base"
      printf 'data_sha1=%s\n' "$(sha1sum "$dir/www/data.bin" | cut -d' ' -f1)"
      printf 'data_sha256=%s\n' "$(sha256sum "$dir/www/data.bin" | cut -d' ' -f1)"
    } > "$dir/state.txt"
    make_torrents "$base"
    start_tracker $((base + 1))
    wait_port $((base + 1))
    start_swarm "$base"
    ih=$(grep '^ih_lt-single=' "$dir/state.txt" | cut -d= -f2)
    /usr/bin/python3 "$here/dht_chain.py" $((base + 5)) "$ih" "127.0.0.1:$((base + 2))" > "$dir/chain.log" 2>&1 &
    echo $! > "$dir/chain.pid"
    wait_ready chain
    printf 'dht_chain=127.0.0.1:%s\n' $((base + 5)) >> "$dir/state.txt"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start PORT_BASE | stop" >&2
    exit 2
    ;;
esac
