# Sourced by the fixture scripts: ending a server by its pid file and waiting
# for one to come up. Each expects $dir (the fixture's folder).

# Ends the process named in the pid file FILE (TERM, then KILL after 5 s).
stop_pid() {
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  kill "$pid" 2>/dev/null || true
  i=0
  while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$1"
}

# True once $dir/NAME.log holds a line "ready"; false when $dir/NAME.pid
# ends first or TENTHS tenths of a second pass.
ready_within() {
  i=0
  until grep -qx ready "$dir/$1.log" 2>/dev/null; do
    if ! kill -0 "$(cat "$dir/$1.pid")" 2>/dev/null || [ $i -ge "$2" ]; then return 1; fi
    sleep 0.1
    i=$((i + 1))
  done
}

# Waits for $dir/NAME.log to hold a line "ready" while $dir/NAME.pid lives
# (60 s at most).
wait_ready() {
  ready_within "$1" 600 && return 0
  echo "$1 did not start:" >&2
  cat "$dir/$1.log" >&2
  exit 1
}

# Waits (10 s at most) until something accepts connections on 127.0.0.1:PORT.
wait_port() {
  i=0
  until python3 -c "import socket; socket.create_connection(('127.0.0.1', $1), 0.5)" 2>/dev/null; do
    if [ $i -ge 100 ]; then echo "nothing listens on port $1" >&2; cat "$dir"/*.log >&2; exit 1; fi
    sleep 0.1
    i=$((i + 1))
  done
}

# Starts a program that prints "ready" once it serves: its output goes to
# $dir/NAME.log, its pid to $dir/NAME.pid. Up to three tries, each waiting
# TENTHS tenths of a second (a libtorrent session has been seen to die at
# start); WHAT names it in the error.
#   start_tries NAME TENTHS WHAT COMMAND...
start_tries() {
  st_name=$1 st_tenths=$2 st_what=$3
  shift 3
  for st_try in 1 2 3; do
    "$@" > "$dir/$st_name.log" 2>&1 &
    echo $! > "$dir/$st_name.pid"
    ready_within "$st_name" "$st_tenths" && return 0
    echo "$st_what did not start (try $st_try):" >&2
    cat "$dir/$st_name.log" >&2
    kill "$(cat "$dir/$st_name.pid")" 2>/dev/null || true
    [ "$st_try" -lt 3 ] || exit 1
    sleep 1
  done
}
