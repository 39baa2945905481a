#!/bin/sh
# A blank qcow2 disk, made by the real qemu-img, for the machine the tests launch.
set -e
out="$VUNK_BUILD/running-fixture"
case "$1" in
  start)
    rm -rf "$out"
    mkdir -p "$out"
    qemu-img create -q -f qcow2 "$out/disk.qcow2" 64M
    ;;
  stop)
    rm -rf "$out"
    ;;
esac
