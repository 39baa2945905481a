#!/bin/sh
# Real QEMU machines on loopback for the fleet tests and the QMP bench.
#   sh qemu_fixture.sh start [state dir] [name...]   one QEMU per name
#   sh qemu_fixture.sh stop [state dir]
# Each QEMU is a small PC without disks (the firmware keeps it running) whose
# QMP server listens on a free 127.0.0.1 port; "<name> <port>" lines go to
# <state dir>/ports for the Windows side to read.
set -e
cmd=$1
state=${2:-$VUNK_BUILD/tests/fleet_qemu}
[ $# -ge 2 ] && shift 2 || shift $#
names=${*:-a b}

stop() {
  [ -d "$state" ] || return 0
  for f in "$state"/*.pid; do
    [ -f "$f" ] || continue
    kill "$(cat "$f")" 2>/dev/null || true
  done
  rm -rf "$state"
}

listening() {  # port (decimal) in LISTEN state on 127.0.0.1
  hex=$(printf '%04X' "$1")
  grep -q "0100007F:$hex 00000000:0000 0A" /proc/net/tcp
}

case "$cmd" in
start)
  stop
  mkdir -p "$state"
  : >"$state/ports"
  for n in $names; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    qemu-system-x86_64 -machine pc -nodefaults -vga std -display none -m 64 \
      -qmp "tcp:127.0.0.1:$port,server=on,wait=off" -pidfile "$state/$n.pid" \
      >"$state/$n.log" 2>&1 &
    i=0
    until listening "$port"; do
      i=$((i + 1))
      [ $i -gt 200 ] && { echo "QEMU $n did not listen on $port"; cat "$state/$n.log"; stop; exit 1; }
      sleep 0.05
    done
    echo "$n $port" >>"$state/ports"
  done
  cat "$state/ports"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: $0 start|stop [state dir] [name...]" >&2
  exit 2
  ;;
esac
