#!/bin/sh
# QMP round-trip latency: starts a real QEMU on loopback (the fleet tests'
# fixture), then runs bench_qmp under Wine against it, which prints the
# program's client beside a plain blocking-socket client and their ratio.
#   BUILD=<build folder> sh bench/qmp_latency.sh [rounds]
set -e
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
export BUILD
VUNK_TARGETS="bench_qmp" sh scripts/build.sh >/dev/null
state="$BUILD/bench-qmp"
port=$(sh tests/fleet/qemu_fixture.sh start "$state" bench | awk '{ print $2 }')
VUNK_OWN_DISPLAY=1
. scripts/wine-env.sh
set +e
wine "$BUILD/bench/bench_qmp.exe" "$port" "${1:-1000}"
rc=$?
wine_env_stop
sh tests/fleet/qemu_fixture.sh stop "$state"
exit $rc
