#!/bin/sh
# "vunk.exe --shots DIR [W [H]]" as a user runs it, against the live release
# servers (tests/fixtures/live):
#   1. a reachable catalog and one library machine, 1280 x 800: the 15 files
#      of the series, each 1280 x 800 by its IHDR and none with scanlines;
#      the last frame (the transfers page) holds the paused Fedora and
#      receiving Ubuntu demo jobs;
#      every running-machine shot reads the staged CPU load as "93%" and has
#      every tool inside the window (what each shot drew, from the copies of
#      the VUNK_TEST_VIEW probe the series keeps per shot); the PNGs are
#      copied to the build folder (shots-*.png) to be looked at;
#   1b. the smallest window the console allows, 1040 x 680, sidebar open: the
#      tools in two rows, all inside the window (shots-1040-*.png);
#   2. an unreachable catalog, an empty library, only the width given: the
#      12 files, 1200 x 1000, exit 0;
#   3. VUNK_SHOT_GUESTS longer than 4096 characters: a guest with an unknown
#      profile dropped, a picture path holding "|", a guest picture of
#      800 x 600 fitted at 4:3, ten guests kept, so 06-vm-2 to 06-vm-10,
#      each with 93% and its tools inside the window, below the help line of
#      the docked one;
#   4. every write failing: exit 2 with every shot attempted; a side of 0 or
#      one beyond the largest drawing target: exit 2, nothing written (the
#      size rules in full are test_tools' ShotsSize).
set -u
export LC_ALL=C
. "$VUNK_SRC/tests/tools/tools_lib.sh"
IM=/usr/bin/convert-im6.q16  # the real ImageMagick; "convert" on PATH may be something else
live=$B/tests/fixture-live
work=$B/tools-shots
rm -rf "$work" "$B"/shots-*.png
mkdir -p "$work"
log=$work/prog/vunk.log

# WIDTH HEIGHT of a PNG from its IHDR.
ihdr() { python3 -c "import struct,sys; d=open(sys.argv[1],'rb').read(24); print(*struct.unpack('>II', d[16:24]))" "$1"; }
# The PNG names in a folder, sorted, on one line.
names() { (cd "$1" && ls -1 ./*.png 2>/dev/null | sed 's|^\./||; s|\.png$||' | sort | tr '\n' ' '); }
series="01-welcome 02-welcome-collapsed 03-install-profiles 04-install-parameters 05-import 06-vm 07-vm-banner \
08-settings"
sizes() {  # FOLDER WIDTH HEIGHT
  for f in "$1"/*.png; do
    [ "$(ihdr "$f")" = "$2 $3" ] || fail "$(basename "$f") is $(ihdr "$f"), not $2 x $3"
  done
}
# vm_frame PROBE UID: what a running-machine shot of the guest UID drew: the
# CPU figure "93%", and every tool (one display place among them) inside the
# window and below the help line. Prints what is wrong.
vm_frame() {
  python3 - "$1" "$2" <<'PY'
import json, os, sys
sys.path.insert(0, os.path.join(os.environ["VUNK_SRC"], "tests", "support"))
from console import widget_id
v = json.load(open(sys.argv[1]))
uid = int(sys.argv[2])
W, H = v["w"] * 96 / v["dpi"], v["h"] * 96 / v["dpi"]
bad = []
if v["view"] != 3:
    bad.append("view %d" % v["view"])
if not any(t[0] == "93%" for t in v["texts"]):
    bad.append("no 93%%, CPU figures %s" % [t[0] for t in v["texts"] if t[0] == "-" or t[0].endswith("%")])
tools = {a: v["rects"].get(str(widget_id("vmtool", a * 100000 + uid))) for a in range(1, 12)}
places = [a for a in (7, 8, 9) if tools[a]]
if len(places) != 1:
    bad.append("display places %s" % places)
top = H
for a in [1, 2, 3, 4, 5, 6, 10, 11] + places:
    r = tools[a]
    if not r:
        bad.append("tool %d not drawn" % a)
        continue
    if r[0] < 0 or r[1] < 0 or r[2] > W or r[3] > H:
        bad.append("tool %d at %s, outside %g x %g" % (a, r, W, H))
    top = min(top, r[1])
for t in v["texts"]:
    if t[0].startswith(("CLICK THE SCREEN", "KEYBOARD: GUEST")) and t[2] + t[3] > top:
        bad.append("help line at %g reaches the tools at %g" % (t[2], top))
print("; ".join(bad))
sys.exit(1 if bad else 0)
PY
}

# ---- 1. the whole series ----------------------------------------------------------
program "$work/prog" qemu_dir="$B/qemu" machines_dir="$work/prog/machines"
mkdir -p "$work/prog/machines/test-pc"
{ printf '\377\376'; printf '[machine]\r\nname=Test PC\r\nprofile=other-x64\r\ndisk=Z:\\nowhere\\disk.qcow2\r\n' |
  iconv -f utf-8 -t utf-16le; } >"$work/prog/machines/test-pc/machine.ini"
t0=$(date +%s)
VUNK_RELEASE_ORIGINS=$(cat "$live/origins.txt") VUNK_TEST_VIEW=$(winpath "$work/view.json") \
  run "$work/prog" --shots "$(winpath "$work/all")" 1280 800
echo "series: exit $rc after $(($(date +%s) - t0)) s"
[ $rc -eq 0 ] || fail "series: exit $rc"
# The media folder was changed in memory only.
iconv -f UTF-16LE -t UTF-8 "$work/prog/vunk.ini" | grep -q media_dir && fail "series: the media folder was saved"
want="$series 09-modal 10-launch-fx 11-edit 12-edit-scrolled 13-wizard-media 14-storage 15-transfers "
[ "$(names "$work/all")" = "$want" ] || fail "series: $(names "$work/all")"
sizes "$work/all" 1280 800
# What the last frame showed: the transfers page with both demo jobs, the
# paused Fedora job first.
python3 - "$work/view.json" <<'PY' || fail "15-transfers: $(head -c 600 "$work/view.json")"
import json, sys
v = json.load(open(sys.argv[1]))
jobs = [(j["file"].split("-")[0], j["state"]) for j in v["jobs"]]
sys.exit(0 if v["view"] == 7 and jobs == [("Fedora", 3), ("ubuntu", 2)] else 1)
PY
for shot in 06-vm 07-vm-banner 10-launch-fx; do
  out=$(vm_frame "$work/view-$shot.json" 9999) || fail "$shot: $out"
done
for f in "$work"/all/*.png; do cp "$f" "$B/shots-$(basename "$f")"; done
# The series draws no scanlines; something is lit in every shot, and the
# banner's toast is red.
no_scan_rows "$work"/all/*.png
for f in "$work"/all/*.png; do
  m=$("$IM" "$f" -colorspace gray -format '%[fx:maxima]' info:)
  awk "BEGIN { exit !($m > 0.5) }" || fail "$(basename "$f") shows nothing (brightest $m)"
done
red=$("$IM" "$work/all/07-vm-banner.png" -fuzz 12% -fill black +opaque 'rgb(255,82,56)' -fill white -opaque \
  'rgb(255,82,56)' -format '%[fx:mean]' info:)
awk "BEGIN { exit !($red > 0.0003) }" || fail "07-vm-banner: no red toast ($red)"

# ---- 1b. the smallest window --------------------------------------------------------------
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") VUNK_TEST_VIEW=$(winpath "$work/small.json") \
  run "$work/prog" --shots "$(winpath "$work/small")" 1040 680
[ $rc -eq 0 ] || fail "1040 x 680: exit $rc"
sizes "$work/small" 1040 680
for shot in 06-vm 07-vm-banner 10-launch-fx; do
  out=$(vm_frame "$work/small-$shot.json" 9999) || fail "1040 x 680, $shot: $out"
  cp "$work/small/$shot.png" "$B/shots-1040-$shot.png"
done

# ---- 2. no catalog, no machines, only the width ----------------------------------------
program "$work/prog" qemu_dir="$B/qemu" machines_dir="$work/prog/machines"
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") run "$work/prog" --shots "$(winpath "$work/bare")" 1200
[ $rc -eq 0 ] || fail "no catalog: exit $rc"
want="$series 09-modal 10-launch-fx 13-wizard-media 14-storage "
[ "$(names "$work/bare")" = "$want" ] || fail "no catalog: $(names "$work/bare")"
sizes "$work/bare" 1200 1000

# ---- 3. ten guests from a long VUNK_SHOT_GUESTS ------------------------------------------
# Windows file names hold no "|": the first guest's picture path is read whole
# and does not load; the second guest's picture does.
"$IM" -size 800x600 xc:'rgb(255,0,255)' "$work/pic.png"
guests="One|linux-x64|C:\\pics\\a|b.png;Two|nosuchprofile;Three|macos7-68k|$(winpath "$work/pic.png");"
pad=$(python3 -c "print('Nobody|none;' * 400, end='')")
for i in 4 5 6 7 8 9 10 11; do pad="${pad}Guest $i|other-x64|;"; done
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") VUNK_SHOT_GUESTS="$guests$pad" \
  VUNK_TEST_VIEW=$(winpath "$work/guests.json") run "$work/prog" --shots "$(winpath "$work/guests")" 1280 800
[ $rc -eq 0 ] || fail "guests: exit $rc"
out=$(vm_frame "$work/guests-06-vm.json" 9999) || fail "guests, 06-vm: $out"
for p in 2 3 4 5 6 7 8 9 10; do
  out=$(vm_frame "$work/guests-06-vm-$p.json" $((10000 - p))) || fail "guests, 06-vm-$p: $out"
done
want="$series 06-vm-2 06-vm-3 06-vm-4 06-vm-5 06-vm-6 06-vm-7 06-vm-8 06-vm-9 06-vm-10 09-modal 10-launch-fx"
want="$want 13-wizard-media 14-storage"
[ "$(names "$work/guests")" = "$(printf '%s\n' $want | sort | tr '\n' ' ')" ] || fail "guests: $(names "$work/guests")"
cp "$work/guests/06-vm.png" "$B/shots-guest-1.png"
cp "$work/guests/06-vm-2.png" "$B/shots-guest-2.png"
cp "$work/guests/06-vm-10.png" "$B/shots-guest-10.png"
# The picture is drawn fitted at its own 4:3: the magenta box's aspect.
box=$("$IM" "$work/guests/06-vm-2.png" -fuzz 25% -fill black +opaque 'rgb(255,0,255)' -trim -format '%w %h' info:)
set -- $box
awk "BEGIN { exit !($# == 2 && $2 > 100 && $1 / $2 > 1.30 && $1 / $2 < 1.37) }" || fail "guest picture box: $box"

# ---- 4. failures ---------------------------------------------------------------------
: >"$work/file"
: >"$log"
VUNK_RELEASE_ORIGINS=$(cat "$live/origins-closed.txt") run "$work/prog" --shots "$(winpath "$work/file/sub")"
[ $rc -eq 2 ] || fail "unwritable folder: exit $rc"
n=$(grep -c -- '--shots: could not write' "$log")
[ "$n" = 12 ] || fail "unwritable folder: $n shots attempted, not 12"
for size in "0 800" "1280 16385"; do
  : >"$log"
  run "$work/prog" --shots "$(winpath "$work/size")" $size
  [ $rc -eq 2 ] || fail "size $size: exit $rc"
  [ -e "$work/size" ] && fail "size $size: the folder was made"
  grep -q -- '--shots: no screenshots of' "$log" || fail "size $size: no log line"
done

finish
