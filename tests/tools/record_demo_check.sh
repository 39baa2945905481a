#!/bin/sh
# "vunk.exe --record-demo VIDEO" as a user runs it, against the live release
# servers (tests/fixtures/live), with the ffmpeg stand-in under the Mac OS X
# Intel root and the QEMU bridge's folder (so the wizard takes the Linux
# profile):
#   1. the whole tour in a folder with a blank in its name: exit 0; ffprobe
#      reads H.264 1920 x 1080 with as many frames as the log's final line
#      counts, at least the tour's 1850; the log shows the catalog pick, the
#      download reaching VERIFIED from mirrors and peers, no widget missed, and
#      the final line; "demo-media" is gone; frames of the tour, without
#      scanlines, saved as PNG in the build folder (record-demo-NNNN.png) to
#      be looked at;
#   2. an ffmpeg that stops reading, with the servers unreachable (run beside
#      the whole tour): the tour ends at the empty catalog, "pipe broken", exit 1;
#   3. no ffmpeg under the root: the single line "ffmpeg did not start", exit 1.
set -u
export LC_ALL=C
. "$VUNK_SRC/tests/tools/tools_lib.sh"
live=$B/tests/fixture-live
work=$B/tools-record-demo
rm -rf "$work" "$B"/record-demo-*.png
mkdir -p "$work/tiger/ffmpeg/bin" "$work/out dir" "$work/short"
cp "$B/ffmpeg/bin/ffmpeg.exe" "$work/tiger/ffmpeg/bin/ffmpeg.exe"
program "$work/prog" tiger_root="$work/tiger" qemu_dir="$B/qemu" machines_dir="$work/prog/machines"
program "$work/prog2" tiger_root="$work/tiger" qemu_dir="$B/qemu" machines_dir="$work/prog2/machines"
video="$work/out dir/demo.mp4"
log="$video.log"
lines() { tr -d '\r' <"$1" | sed 's/^ *[0-9.]*  //'; }

# The short run with an ffmpeg that stops reading goes on beside the whole tour
# (each recording's frames wait on the renderer in turn; two overlap well).
mkdir -p "$work/quitter"
printf '#!/bin/sh\nhead -c 33177600 >/dev/null\necho "had enough" >&2\nexit 1\n' >"$work/quitter/ffmpeg"
chmod +x "$work/quitter/ffmpeg"
(
  VUNK_BRIDGE_BIN=$work/quitter VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") \
    run "$work/prog2" --record-demo "$(winpath "$work/short/short.mp4")"
  echo $rc >"$work/short.rc"
) &
short=$!

# ---- 1. the whole tour ------------------------------------------------------------
t0=$(date +%s)
VUNK_RELEASE_ORIGINS=$(cat "$live/origins.txt") run "$work/prog" --record-demo "$(winpath "$video")"
echo "record-demo: exit $rc after $(($(date +%s) - t0)) s"
[ $rc -eq 0 ] || fail "record-demo exited $rc: $(tail -n 3 "$log"; head -n 5 "$video.ffmpeg.txt")"
lines "$log" | grep -v '^ffmpeg: '
lines "$log" | head -n 1 | grep -q '^ffmpeg: .*ffmpeg\.exe"* -hide_banner .* -c:v h264_nvenc -preset p6 .*demo\.mp4"$' ||
  fail "no ffmpeg line"
set -- $(sort -k2 -n "$live/images.txt" | head -n 1)
lines "$log" | grep -qx "picking $1" || fail "not the smallest image picked"
lines "$log" | grep -Eqx "download: VERIFIED, [1-9][0-9.]*[KMG] from mirrors, [1-9][0-9.]*[KMG] from peers, sha256 $3" ||
  fail "download line: $(lines "$log" | grep '^download' || echo none)"
lines "$log" | grep -q '^no rect for' && fail "the tour missed widgets: $(lines "$log" | grep '^no rect' | head -n 3)"
last=$(lines "$log" | tail -n 1)
frames=$(echo "$last" | sed -n 's/^frames \([0-9]*\) ([0-9.]* s of video), [0-9]* late frames, ffmpeg exit 0, pipe ok$/\1/p')
[ -n "$frames" ] || fail "final line: $last"
[ "${frames:-0}" -ge 1850 ] || fail "only $frames frames"
probe=$(ffprobe -v error -select_streams v:0 -count_frames \
  -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$video" 2>&1)
[ "$probe" = "h264,1920,1080,$frames" ] || fail "ffprobe: $probe (want h264,1920,1080,$frames)"
[ -e "$work/out dir/demo-media" ] && fail "demo-media is left: $(ls -a "$work/out dir/demo-media")"
# Frames along the tour: home, the wizard's profiles, the picker, the storage
# chooser, the transfers page, the wizard's launch button at the end.
for n in 200 560 720 860 1100 $((frames - 100)); do
  ffmpeg -v error -y -i "$video" -vf "select=eq(n\,$n)" -frames:v 1 "$B/record-demo-$(printf '%04d' $n).png"
  [ -s "$B/record-demo-$(printf '%04d' $n).png" ] || fail "frame $n not extracted"
done
no_scan_rows "$B"/record-demo-*.png

# ---- 2. ffmpeg stops reading -----------------------------------------------------------
wait $short
rc=$(cat "$work/short.rc" 2>/dev/null)
[ "$rc" = 1 ] || fail "broken pipe: exit $rc"
lines "$work/short/short.mp4.log" | grep -qx 'empty catalog' || fail "broken pipe: no empty catalog line"
lines "$work/short/short.mp4.log" | tail -n 1 | grep -Eq '^frames [0-9]+ .* ffmpeg exit 1, pipe broken$' ||
  fail "broken pipe: $(tail -n 1 "$work/short/short.mp4.log")"
grep -q 'had enough' "$work/short/short.mp4.ffmpeg.txt" || fail "broken pipe: ffmpeg's words not kept"
[ -e "$work/short/demo-media" ] && fail "broken pipe: demo-media is left"

# ---- 3. no ffmpeg ----------------------------------------------------------------------
rm -f "$work/tiger/ffmpeg/bin/ffmpeg.exe"
run "$work/prog" --record-demo "$(winpath "$work/out dir/none.mp4")"
[ $rc -eq 1 ] || fail "no ffmpeg: exit $rc"
[ "$(lines "$work/out dir/none.mp4.log")" = "ffmpeg did not start" ] ||
  fail "no ffmpeg: $(cat "$work/out dir/none.mp4.log")"

finish
