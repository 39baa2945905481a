#!/bin/sh
# Linux-side steps around the form tests (a Wine process cannot run Linux
# programs): images made by the real qemu-img and hformat before, and reads
# of what the program wrote after.
#   start  a qcow2 image and a bare HFS volume (hformat) with a file on it
#   stop   removes them
set -e
work="$VUNK_BUILD/forms-work"
export HOME="$work/home"   # hfsutils keeps its current volume in ~/.hcwd
case "$1" in
start)
  rm -rf "$work"
  mkdir -p "$work/home"
  qemu-img create -q -f qcow2 "$work/Old Linux.qcow2" 3G
  dd if=/dev/zero of="$work/System753.dsk" bs=512 count=16384 status=none
  hformat -l "System 7.5.3" "$work/System753.dsk" >/dev/null
  echo "Read me, classic Mac." >"$work/ReadMe.txt"
  hmount "$work/System753.dsk" >/dev/null && hcopy "$work/ReadMe.txt" : && humount
  ;;
stop)
  rm -rf "$work"
  ;;
esac
