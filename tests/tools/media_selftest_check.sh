#!/bin/sh
# "vunk.exe --selftest-media DIR" as a user runs it, against the live release
# servers (tests/fixtures/live):
#   1. the smallest image (Debian netinst) from the nginx mirror and the
#      libtorrent seeders: exit 0, "PASS: state VERIFIED" with bytes from
#      mirrors and from peers, the three PNGs (the console's frames, with
#      their scanlines; copied to the build folder as media-selftest-*.png
#      to be looked at; one the download passed between two frames is named
#      skipped), the image and its folder gone;
#   2. a Debian checksum file that disagrees with the image: FAIL with the
#      catalog's value on the final line and the engine's error, exit 1;
#   3. unreachable servers: "FAIL: empty catalog", exit 1, the media folder kept;
#   4. no usable media folder (a file stands where it goes): FAIL, exit 1.
set -u
export LC_ALL=C
. "$VUNK_SRC/tests/tools/tools_lib.sh"
live=$B/tests/fixture-live
work=$B/tools-media-selftest
rm -rf "$work" "$B"/media-selftest-*.png
mkdir -p "$work"
program "$work/prog" qemu_dir="$B/qemu" machines_dir="$work/prog/machines"
# NAME SIZE SHA256 of the smallest image
set -- $(sort -k2 -n "$live/images.txt" | head -n 1)
deb=$1 deb_size=$2 deb_sha=$3
final() { tr -d '\r' <"$1/media-selftest.log" | grep -E '^ *[0-9.]+  (PASS|FAIL): ' | tail -n 1; }

# ---- 1. a real download from mirrors and peers ----------------------------------------
t0=$(date +%s)
VUNK_RELEASE_ORIGINS=$(cat "$live/origins.txt") run "$work/prog" --selftest-media "$(winpath "$work/ok")"
echo "download: exit $rc after $(($(date +%s) - t0)) s"
[ $rc -eq 0 ] || fail "download: exit $rc: $(tail -n 3 "$work/ok/media-selftest.log")"
line=$(final "$work/ok")
echo "$line"
case "$line" in
  *"PASS: state VERIFIED, file present, size $deb_size (want $deb_size), sha256 $deb_sha (want $deb_sha); "*) ;;
  *) fail "download: final line $line" ;;
esac
# Both sources carried part of the file.
echo "$line" | grep -Eq '; [1-9][0-9.]*[BKMG] from mirrors, [1-9][0-9.]*[BKMG] from peers$' ||
  fail "download: not from mirrors and peers at once"
tr -d '\r' <"$work/ok/media-selftest.log" | grep -q "  picked $deb .* torrent=yes$" || fail "download: no picked line"
grep -q '  catalog: 5 items' "$work/ok/media-selftest.log" || fail "download: no catalog line"
grep -Eq '  RECEIVING +[0-9.]+%  +[0-9.]+ MB/s \(http +[0-9.]+, peers +[0-9.]+\)  peers [0-9]+/[0-9]+  ' \
  "$work/ok/media-selftest.log" || fail "download: no progress line"
for png in media-40 media-verify media-done; do
  if [ -s "$work/ok/$png.png" ]; then cp "$work/ok/$png.png" "$B/media-selftest-$png.png"
  elif [ $png = media-done ]; then fail "download: no $png.png"
  else echo "[  SKIPPED ] $png.png: the download passed that point between two frames"
  fi
done
# Its shots are the console's frames as a user sees them, scanlines and all.
if [ -s "$work/ok/media-done.png" ]; then
  r=$(scan_rows "$work/ok/media-done.png")
  awk "BEGIN { exit !($r < 0.9) }" 2>/dev/null || fail "media-done.png shows no scanlines (rows y % 3 = 2 at $r)"
fi
[ -e "$work/ok/media" ] && fail "download: the media folder is left: $(ls -a "$work/ok/media")"
iconv -f UTF-16LE -t UTF-8 "$work/prog/vunk.ini" | grep -q media_dir && fail "download: the media folder was saved"

# ---- 2. a checksum file that disagrees with the image ------------------------------------
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-badsum.txt") run "$work/prog" --selftest-media "$(winpath "$work/badsum")"
[ $rc -eq 1 ] || fail "bad checksum: exit $rc"
line=$(final "$work/badsum")
echo "$line"
case "$line" in
  *"FAIL: state FAILED, file missing, size 0 (want $deb_size), sha256 "*" (want "[0-9a-f]*"); "*) ;;
  *) fail "bad checksum: final line $line" ;;
esac
echo "$line" | grep -q "(want $deb_sha)" && fail "bad checksum: the catalog had the right checksum"
tr -d '\r' <"$work/badsum/media-selftest.log" | grep -q '  error: sha256 mismatch$' || fail "bad checksum: no error line"
[ -e "$work/badsum/media/$deb" ] && fail "bad checksum: the image is left"

# ---- 3. unreachable servers -------------------------------------------------------------
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") run "$work/prog" --selftest-media "$(winpath "$work/closed")"
[ $rc -eq 1 ] || fail "unreachable: exit $rc"
tr -d '\r' <"$work/closed/media-selftest.log" | grep -q '  catalog: 0 items ' || fail "unreachable: no catalog line"
[ "$(tr -d '\r' <"$work/closed/media-selftest.log" | tail -n 1 | sed 's/^ *[0-9.]*  //')" = "FAIL: empty catalog" ] ||
  fail "unreachable: $(tail -n 1 "$work/closed/media-selftest.log")"
[ -d "$work/closed/media" ] || fail "unreachable: the media folder was removed"
ls "$work"/closed/*.png >/dev/null 2>&1 && fail "unreachable: screenshots taken"

# ---- 4. no usable media folder -------------------------------------------------------------
mkdir -p "$work/nodir"
: >"$work/nodir/media"
VUNK_RELEASE_ORIGINS=$(cat "$live/origins.txt") run "$work/prog" --selftest-media "$(winpath "$work/nodir")"
[ $rc -eq 1 ] || fail "no media folder: exit $rc"
tr -d '\r' <"$work/nodir/media-selftest.log" | tail -n 1 | grep -q '  FAIL: no media folder at ' ||
  fail "no media folder: $(tail -n 1 "$work/nodir/media-selftest.log")"

finish
