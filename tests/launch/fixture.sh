#!/bin/sh
# Linux-side preparation for the launch tests: disk images of every container
# format, made by the real qemu-img and all named .img.
set -e
out="$VUNK_BUILD/launch-fixture"
case "$1" in
  start)
    rm -rf "$out"
    mkdir -p "$out/formats"
    cd "$out/formats"
    qemu-img create -q -f qcow2 qcow2.img 16M
    qemu-img create -q -f vhdx vhdx.img 16M
    qemu-img create -q -f vmdk vmdk.img 16M
    qemu-img create -q -f vdi vdi.img 16M
    qemu-img create -q -f vpc vpc-dynamic.img 16M
    qemu-img create -q -f vpc -o subformat=fixed vpc-fixed.img 16M
    qemu-img create -q -f raw raw.img 1M
    ;;
  stop)
    rm -rf "$out"
    ;;
esac
