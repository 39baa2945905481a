#!/bin/sh
# Linux-side steps around the classic Mac disk tests (a Wine process cannot
# run Linux programs):
#   start  bare HFS volumes made by hformat (floppy size and 8 MiB, with
#          files), a disk partitioned by parted, and a full 1 MiB tmpfs
#   check  reads back what the Wine test wrote: parted and partx list the
#          partition maps, hfsutils mounts the HFS partition of the bootable
#          copies and reads its files, the blank disk is sparse
#   stop   unmounts and removes everything
set -e
work="$VUNK_BUILD/macdisk-work"
export HOME="$work/home"    # hfsutils keeps its current volume in ~/.hcwd

fail() { echo "FAIL: $*"; exit 1; }

make_volume() {  # file blocks label files...
  img=$1; blocks=$2; label=$3; shift 3
  dd if=/dev/zero of="$img" bs=512 count="$blocks" status=none
  hformat -l "$label" "$img" >/dev/null
  hmount "$img" >/dev/null
  for f in "$@"; do hcopy -r "$f" :; done
  humount
}

case "$1" in
start)
  sh "$0" stop >/dev/null 2>&1 || true
  mkdir -p "$work/home" "$work/full"
  echo "Read me, classic Mac." >"$work/ReadMe.txt"
  head -c 300000 /dev/urandom >"$work/Payload.bin"
  make_volume "$work/floppy.img" 2880 "Floppy Vol" "$work/ReadMe.txt"
  make_volume "$work/big.img" 16384 "Several MiB Volume" "$work/ReadMe.txt" "$work/Payload.bin"
  hmount "$work/big.img" >/dev/null && hmkdir "Stuff" && humount
  dd if=/dev/zero of="$work/parted.img" bs=512 count=8192 status=none
  parted -s "$work/parted.img" mklabel mac mkpart primary hfs 1MiB 3MiB 2>/dev/null
  # A destination with no room: the copy of the floppy cannot fit in 1 MiB.
  if mount -t tmpfs -o size=1m vunkfull "$work/full" 2>/dev/null; then
    touch "$work/full-mounted"
  else
    echo "no tmpfs (not root?): the full-disk case is skipped"
  fi
  ;;
check)
  cd "$work"
  for img in floppy-boot.img big-boot.img blank.img; do
    [ -f "$img" ] || fail "$img was not written"
    # parted remarks that the driver partition's data region (the 3 blocks
    # the ROM loads) is shorter than the partition's 32 blocks, and reads
    # the map once told to ignore that.
    out=$(printf 'i\n' | parted ---pretend-input-tty "$img" unit s print 2>&1) ||
      fail "parted cannot read $img"
    echo "$out" | grep -q '^Partition Table: mac' || fail "$img: no mac partition table"
    [ "$(echo "$out" | grep -cE '^ [0-9] ')" = 3 ] || fail "$img: not three partitions"
    echo "$out" | grep -qE '^ 1 +1s +63s +63s +Apple$' || fail "$img: partition map entry"
    echo "$out" | grep -qE '^ 2 +64s +95s +32s +VUNK_SCSI$' || fail "$img: driver partition"
    # libblkid's reader, with the partition types.
    types=$(partx -s -g -o START,SECTORS,TYPE "$img" | tr -s ' ' | sed 's/^ //')
    [ "$types" = "$(printf '1 63 Apple_partition_map\n64 32 Apple_Driver43\n96 %s Apple_HFS' \
      "$(($(stat -c %s "$img") / 512 - 96))")" ] || fail "$img: partx reads: $types"
  done
  printf 'i\n' | parted ---pretend-input-tty floppy-boot.img unit s print 2>&1 |
    grep -qE '^ 3 +96s +2975s +2880s +hfs +Floppy Vol$' || fail "floppy copy: HFS partition"
  printf 'i\n' | parted ---pretend-input-tty blank.img unit s print 2>&1 |
    grep -qE '^ 3 +96s +4194399s +4194304s +Macintosh HD$' || fail "blank disk: HFS partition"
  [ "$(stat -c %s blank.img)" = 2147532800 ] || fail "blank disk size"
  kib=$(du -k blank.img | cut -f1)
  echo "blank.img: $kib KiB allocated"
  [ "$kib" -le 256 ] || fail "blank disk is not sparse ($kib KiB)"
  # hfsutils numbers the HFS partitions only: map entry 3 is its partition 1.
  hmount floppy-boot.img 1 >/dev/null || fail "hfsutils cannot mount the floppy copy"
  hvol | grep -q 'Floppy Vol' || fail "floppy copy: volume name"
  hls | grep -q 'ReadMe.txt' || fail "floppy copy: file list"
  hcopy -r :ReadMe.txt "$work/readme-back.txt" && cmp -s ReadMe.txt readme-back.txt ||
    fail "floppy copy: file contents"
  humount
  hmount big-boot.img 1 >/dev/null || fail "hfsutils cannot mount the 8 MiB copy"
  list=$(hls)
  for f in ReadMe.txt Payload.bin Stuff; do
    echo "$list" | grep -q "$f" || fail "8 MiB copy: $f missing in: $list"
  done
  hcopy -r :Payload.bin "$work/payload-back.bin" && cmp -s Payload.bin payload-back.bin ||
    fail "8 MiB copy: file contents"
  humount
  echo "read-back checks passed"
  ;;
stop)
  # Lazily: a wineserver that outlives the test may still hold the folder.
  if [ -d "$work/full" ] && mountpoint -q "$work/full"; then umount "$work/full" || umount -l "$work/full"; fi
  rm -rf "$work"
  ;;
esac
