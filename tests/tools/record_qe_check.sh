#!/bin/sh
# "vunk.exe --record-qe ASSETS VIDEO" as a user runs it, with generated assets
# and the ffmpeg stand-in under the Mac OS X Intel root:
#   0. the stand-in's mapping of the encoder options (dry run);
#   1. the whole film: exit 0, its log line, an H.264 video of 1860 frames at
#      1920 x 1080 by ffprobe; frames at the act boundaries and inside each act
#      saved as PNG in the build folder (tools-qe-NNNN.png), the ones inside
#      acts lit and without scanlines;
#   2. assets missing: exit 1, the log line, no ffmpeg text file;
#   3. an ffmpeg that stops reading after a few frames: exit 1, "pipe broken",
#      its own words in the text file.
set -u
. "$VUNK_SRC/tests/tools/tools_lib.sh"
IM=/usr/bin/convert-im6.q16  # the real ImageMagick; "convert" on PATH may be something else
work=$B/tools-record-qe
rm -rf "$work" "$B"/tools-qe-*.png
mkdir -p "$work/tiger/ffmpeg/bin" "$work/out"
cp "$B/ffmpeg/bin/ffmpeg.exe" "$work/tiger/ffmpeg/bin/ffmpeg.exe"
sh "$S/tests/tools/make_assets.sh" "$work/assets"
program "$work/prog" tiger_root="$work/tiger" qemu_dir="$B/qemu" machines_dir="$work/prog/machines"
log=$work/prog/vunk.log
video=$work/out/feature.mp4

# ---- 0. the stand-in's command line ---------------------------------------------
# The recording's own options, the hardware encoder's mapped to libx264, a
# path with a blank made a Linux one; other encoders keep their options.
mkdir -p "$work/out dir"
VUNK_BRIDGE_DRYRUN=1 sh "$S/scripts/wine-run" "$work/tiger/ffmpeg/bin/ffmpeg.exe" -f rawvideo -s 64x36 -r 60 -i - \
  -c:v h264_nvenc -preset p7 -tune hq -rc vbr -cq 18 -b:v 0 -maxrate 40M -profile:v high \
  -y "$(winpath "$work/out dir/a.mp4")" | tr -d '\r' | tr '\n' ' ' >"$work/dry.txt"
want="$(command -v ffmpeg) -f rawvideo -s 64x36 -r 60 -i - -c:v libx264 -preset medium -crf 18 -maxrate 40M \
-profile:v high -y $work/out dir/a.mp4 "
[ "$(cat "$work/dry.txt")" = "$want" ] || fail "stand-in arguments: $(cat "$work/dry.txt")"
VUNK_BRIDGE_DRYRUN=1 sh "$S/scripts/wine-run" "$work/tiger/ffmpeg/bin/ffmpeg.exe" -i - -c:v libx264 -preset p7 \
  -tune film -y x.mp4 | tr -d '\r' | tr '\n' ' ' >"$work/dry.txt"
[ "$(cat "$work/dry.txt")" = "$(command -v ffmpeg) -i - -c:v libx264 -preset p7 -tune film -y x.mp4 " ] ||
  fail "stand-in changed a software encoder's options: $(cat "$work/dry.txt")"

# ---- 1. the whole film ---------------------------------------------------------
t0=$(date +%s)
run "$work/prog" --record-qe "$(winpath "$work/assets")" "$(winpath "$video")"
echo "record-qe: exit $rc after $(($(date +%s) - t0)) s"
[ $rc -eq 0 ] || fail "record-qe exited $rc: $(cat "$video.ffmpeg.txt" 2>/dev/null | head -n 5)"
grep -q '  record-qe: 1860 frames, ffmpeg exit 0, pipe ok' "$log" || fail "log: $(tail -n 2 "$log")"
probe=$(ffprobe -v error -select_streams v:0 -count_frames \
  -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$video" 2>&1)
[ "$probe" = "h264,1920,1080,1860" ] || fail "ffprobe: $probe (want h264,1920,1080,1860)"
# Boundary frames open their act dark (each act fades in, and the one before
# has faded out); frames inside an act show it.
for n in 192 816 1224 1608 90 600 1020 1400 1740; do
  png=$B/tools-qe-$(printf '%04d' $n).png
  ffmpeg -v error -y -i "$video" -vf "select=eq(n\,$n)" -frames:v 1 "$png"
  [ -s "$png" ] || { fail "frame $n not extracted"; continue; }
  set -- $("$IM" "$png" -colorspace gray -format '%[fx:mean] %[fx:maxima]' info:)
  case $n in
    192 | 816 | 1224 | 1608) awk "BEGIN { exit !($1 < 0.01) }" || fail "frame $n is not dark (mean $1)" ;;
    *) awk "BEGIN { exit !($2 > 0.5) }" || fail "frame $n shows nothing (brightest $2)"
       no_scan_rows "$png" ;;
  esac
done
# The screenshot act is brighter where its highlights are than the film's start.
[ -f "$B/tools-qe-0600.png" ] && [ -f "$B/tools-qe-0192.png" ] && {
  a=$("$IM" "$B/tools-qe-0600.png" -colorspace gray -format '%[fx:mean]' info:)
  b=$("$IM" "$B/tools-qe-0192.png" -colorspace gray -format '%[fx:mean]' info:)
  awk "BEGIN { exit !($a > $b) }" || fail "frame 600 ($a) no brighter than frame 192 ($b)"
}

# ---- 2. assets missing ---------------------------------------------------------
mkdir -p "$work/empty"
run "$work/prog" --record-qe "$(winpath "$work/empty")" "$(winpath "$work/out/none.mp4")"
[ $rc -eq 1 ] || fail "missing assets: exit $rc"
grep -qF "  record-qe: assets missing in $(winpath "$work/empty")" "$log" || fail "missing assets: no log line"
[ -e "$work/out/none.mp4.ffmpeg.txt" ] && fail "missing assets: ffmpeg text file made"

# ---- 3. ffmpeg stops reading ---------------------------------------------------
mkdir -p "$work/quitter"
printf '#!/bin/sh\nhead -c 24883200 >/dev/null\necho "had enough" >&2\nexit 1\n' >"$work/quitter/ffmpeg"
chmod +x "$work/quitter/ffmpeg"
VUNK_BRIDGE_BIN=$work/quitter run "$work/prog" --record-qe "$(winpath "$work/assets")" "$(winpath "$work/out/short.mp4")"
[ $rc -eq 1 ] || fail "broken pipe: exit $rc"
grep -q '  record-qe: 1860 frames, ffmpeg exit 1, pipe broken' "$log" ||
  fail "broken pipe: exit $rc, the log ends: $(tail -n 3 "$log" | tr -d '\r' | tr '\\' /)"
grep -q 'had enough' "$work/out/short.mp4.ffmpeg.txt" ||
  fail "broken pipe: ffmpeg's words not kept: $(cat "$work/out/short.mp4.ffmpeg.txt" 2>&1 | head -n 5)"

finish
