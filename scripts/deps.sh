#!/bin/sh
# Installs the Debian packages the build and the tests need (root, Debian 12).
# Only missing packages are fetched, so a second run costs a second.
set -e
# One package a line, sorted, so that additions from different work merge cleanly.
PKGS="
aria2
binutils-m68k-linux-gnu
ca-certificates
cmake
ffmpeg
g++-mingw-w64-x86-64-posix
googletest
hfsutils
icoutils
imagemagick
iproute2
librsvg2-bin
libx11-dev
libxml2-utils
make
mingw-w64-tools
mktorrent
nginx
openssl
opentracker
parted
procps
python3
python3-libtorrent
qemu-efi-aarch64
qemu-system-arm
qemu-system-misc
qemu-system-ppc
qemu-system-x86
qemu-utils
strace
u-boot-qemu
wine
wine64
wine64-tools
xauth
xdotool
xvfb
"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
