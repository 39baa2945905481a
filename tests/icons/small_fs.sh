#!/bin/sh
# A 64 KiB file system under the build folder, for the full-disk cases.
# Without the right to mount, the tests that need it skip themselves.
dir="$VUNK_BUILD/icons-full"
case "$1" in
  start)
    mountpoint -q "$dir" && umount "$dir"
    mkdir -p "$dir"
    if mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
      touch "$dir/MOUNTED"
    else
      echo "cannot mount a small file system; full-disk cases skip"
    fi
    ;;
  stop)
    mountpoint -q "$dir" && umount "$dir"
    rmdir "$dir" 2>/dev/null
    ;;
esac
exit 0
