#!/bin/sh
# Starts or stops the real peers the BitTorrent and HTTP range tests talk to,
# all on loopback:
#   fixture.sh start PORT_BASE | fixture.sh stop
#   PORT_BASE      nginx serving www/ (a range-capable mirror)
# Everything lives in <build>/tests/fixture-bt; state.txt lists what the
# tests need to know (key=value lines).
set -e
here=$(cd "$(dirname "$0")" && pwd)
dir="${VUNK_BUILD:?}/tests/fixture-bt"

stop_pid() {
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  kill "$pid" 2>/dev/null || true
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$1"
}

stop() {
  stop_pid "$dir/nginx.pid"
}

start_nginx() {
  port=$1
  mkdir -p "$dir/www" "$dir/nginx-tmp"
  cat > "$dir/nginx.conf" <<CONF
daemon off;
master_process off;
error_log $dir/nginx-error.log;
pid $dir/nginx-own.pid;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $dir/nginx-tmp;
  proxy_temp_path $dir/nginx-tmp;
  fastcgi_temp_path $dir/nginx-tmp;
  uwsgi_temp_path $dir/nginx-tmp;
  scgi_temp_path $dir/nginx-tmp;
  server { listen 127.0.0.1:$port; root $dir/www; }
}
CONF
  nginx -c "$dir/nginx.conf" -p "$dir" > "$dir/nginx.log" 2>&1 &
  echo $! > "$dir/nginx.pid"
}

wait_port() {
  i=0
  until python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $1), 0.5)" 2>/dev/null; do
    if [ $i -ge 100 ]; then echo "nothing listens on port $1" >&2; cat "$dir"/*.log >&2; exit 1; fi
    sleep 0.1
    i=$((i + 1))
  done
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
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: $0 start PORT_BASE | stop" >&2
    exit 2
    ;;
esac
