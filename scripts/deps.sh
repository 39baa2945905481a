#!/bin/sh
# Installs the Debian packages the build and the tests need (root, Debian 12).
# Only missing packages are fetched, so a second run costs a second.
set -e
PKGS="g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 wine64-tools xvfb xauth
cmake make python3 openssl ca-certificates googletest procps
qemu-utils qemu-system-x86 qemu-system-ppc qemu-system-misc qemu-system-arm
hfsutils parted binutils-m68k-linux-gnu aria2 nginx librsvg2-bin icoutils imagemagick libxml2-utils xdotool"
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
