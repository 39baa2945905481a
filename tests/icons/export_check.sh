#!/bin/sh
# Runs "vunk.exe --export-icons DIR" under Wine and checks what it wrote with
# Linux tools: the exact file list, well-formed SVG that renders where the
# exported PNG is lit, a ten-image icon file, sizes, replacement on a second
# run, and exit code 1 for a read-only or full folder (each named skipped
# where this machine cannot mount one).
set -u
B=$VUNK_BUILD
S=$VUNK_SRC
IM=/usr/bin/convert-im6.q16  # the real ImageMagick; "convert" on PATH may be something else
work=$B/icons-export
fails=0

fail() {
  echo "FAIL: $*"
  fails=$((fails + 1))
}
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
export_to() { sh "$S/scripts/wine-run" "$B/bin/vunk.exe" --export-icons "$(winpath "$1")"; }
cleanup() {
  for m in "$work/ro" "$work/full"; do mountpoint -q "$m" 2>/dev/null && umount "$m"; done
}
trap cleanup EXIT

# Bounding box "x0 y0 x1 y1" of the pixels above a threshold in an image
# (alpha for transparent pictures, brightness for opaque ones).
bbox_alpha() { "$IM" "$1" -alpha extract -threshold 50% -format '%@' info: | tr 'x+' '  ' | awk '{print $3, $4, $3+$1, $4+$2}'; }
bbox_bright() {  # image, crop geometry
  "$IM" "$1" -background black -flatten -crop "$2" +repage -colorspace gray -threshold "$3" -format '%@' info: |
    tr 'x+' '  ' | awk '{print $3, $4, $3+$1, $4+$2}'
}
# Two boxes agree when every edge is within tol pixels.
same_box() {  # box-a box-b tol
  echo "$1 $2 $3" | awk '{t=$9; for (i=1;i<=4;i++) { d=$i-$(i+4); if (d<0) d=-d; if (d>t) exit 1 } }'
}

cleanup
rm -rf "$work"
mkdir -p "$work"
out=$work/ic

# ---- first export: exact file list ----------------------------------------
export_to "$out"
rc=$?
[ $rc -eq 0 ] || fail "export exited $rc"
oses="mac-os-x mac-os-9 windows windows-9x-xp linux bsd freebsd openbsd netbsd dos other"
arches="x86 powerpc arm risc-v 68k other"
{
  for o in $oses; do for a in $arches; do
    echo "png/$o-$a.png"
    echo "svg/$o-$a.svg"
  done; done
  printf '%s\n' icon-sheet.png icon-sheet.svg vunk-512.png vunk.ico vunk.svg
} | sort >"$work/expected"
(cd "$out" && find . -type f | sed 's|^\./||' | sort) >"$work/actual"
diff "$work/expected" "$work/actual" >"$work/list.diff" || fail "file list: $(head -5 "$work/list.diff")"

# ---- every SVG: well formed, wrapped, renders to something lit -------------
for f in "$out"/svg/*.svg "$out"/icon-sheet.svg "$out"/vunk.svg; do
  [ -f "$f" ] || continue
  xmllint --noout "$f" 2>/dev/null || fail "xmllint: $f"
  grep -q "$(printf '[^ -~]')" "$f" && fail "non-ASCII bytes: $f"
  png=$work/render-$(basename "$f" .svg).png
  rsvg-convert "$f" -o "$png" 2>/dev/null || fail "rsvg-convert: $f"
  [ -s "$png" ] || fail "empty render: $f"
done
head -c 5 "$out/svg/linux-x86.svg" | grep -q '^<svg ' || fail "SVG must start with the svg tag"
sed -n 3p "$out/svg/linux-x86.svg" | grep -q '^<g fill="none"' || fail "per-icon SVG has a background"
grep -q 'viewBox="0 0 1308 2068"' "$out/icon-sheet.svg" || fail "sheet viewBox"
grep -q '<rect width="1308" height="2068" fill="#020408"/>' "$out/icon-sheet.svg" || fail "sheet background"
grep -q 'rx="23" fill="#03060a"' "$out/vunk.svg" || fail "mark background"

# ---- the SVG renders lie where the PNGs are lit -----------------------------
for o in $oses; do for a in $arches; do
  name=$o-$a
  [ -f "$out/png/$name.png" ] && [ -f "$work/render-$name.png" ] || continue
  p=$(bbox_alpha "$out/png/$name.png")
  s=$(bbox_alpha "$work/render-$name.png")
  same_box "$p" "$s" 12 || fail "$name: PNG lit box $p, SVG render $s"
done; done
# Sheet, cell by cell (the SVG sheet has no title, legend or credit).
i=0
for o in $oses; do
  j=0
  for a in $arches; do
    cx=$((344 + 168 * j)); cy=$((234 + 168 * i))
    crop=150x150+$((cx - 75))+$((cy - 75))
    p=$(bbox_bright "$out/icon-sheet.png" "$crop" 30%)
    s=$(bbox_bright "$work/render-icon-sheet.png" "$crop" 30%)
    same_box "$p" "$s" 10 || fail "sheet cell $o-$a: PNG $p, SVG $s"
    j=$((j + 1))
  done
  i=$((i + 1))
done
rsvg-convert -w 512 -h 512 "$out/vunk.svg" -o "$work/render-mark-512.png"
p=$(bbox_bright "$out/vunk-512.png" 512x512+0+0 45%)
s=$(bbox_bright "$work/render-mark-512.png" 512x512+0+0 45%)
same_box "$p" "$s" 24 || fail "mark: PNG $p, SVG $s"

# ---- sizes and the icon file ----------------------------------------------
[ "$(identify -format '%wx%h' "$out/vunk-512.png")" = 512x512 ] || fail "vunk-512.png size"
[ "$(identify -format '%wx%h' "$out/icon-sheet.png")" = 1308x2068 ] || fail "icon-sheet.png size"
[ "$(identify -format '%wx%h\n' "$out"/png/*.png | sort -u)" = 256x256 ] || fail "icon PNG sizes"
widths=$(icotool -l "$out/vunk.ico" | sed -n 's/.*--width=\([0-9]*\).*--bit-depth=32.*/\1/p' | tr '\n' ' ')
[ "$widths" = "16 20 24 32 40 48 64 96 128 256 " ] || fail "icotool lists: $widths"
rm -rf "$work/ico" && mkdir -p "$work/ico"
icotool -x -o "$work/ico" "$out/vunk.ico" 2>/dev/null
n=0
for f in "$work"/ico/*.png; do
  [ -f "$f" ] && identify "$f" >/dev/null 2>&1 && n=$((n + 1))
done
[ $n -eq 10 ] || fail "icon file holds $n readable PNG images"

# ---- a second run replaces every file -------------------------------------
cp "$out/svg/linux-x86.svg" "$work/first.svg"
printf 'junk' >"$out/svg/linux-x86.svg"
printf 'junk' >"$out/vunk.ico"
find "$out" -type f -exec touch -d '2001-01-01' {} +
export_to "$out"
rc=$?
[ $rc -eq 0 ] || fail "second export exited $rc"
stale=$(find "$out" -type f ! -newermt 2002-01-01 | head -3)
[ -z "$stale" ] || fail "not replaced: $stale"
cmp -s "$work/first.svg" "$out/svg/linux-x86.svg" || fail "second run wrote a different linux-x86.svg"
[ "$(icotool -l "$out/vunk.ico" | wc -l)" -eq 10 ] || fail "icon file after the second run"

# ---- failures exit 1 --------------------------------------------------------
mkdir -p "$work/ro"
if mount -t tmpfs -o ro,size=64k tmpfs "$work/ro" 2>/dev/null; then
  export_to "$work/ro/ic"
  rc=$?
  [ $rc -eq 1 ] || fail "read-only folder: exit $rc"
  umount "$work/ro"
else
  echo "[  SKIPPED ] read_only_folder: cannot mount a read-only file system"
fi
touch "$work/plain-file"
export_to "$work/plain-file/ic"
rc=$?
[ $rc -eq 1 ] || fail "folder below a file: exit $rc"

mkdir -p "$work/full"
if mount -t tmpfs -o size=256k tmpfs "$work/full" 2>/dev/null; then
  export_to "$work/full/ic"
  rc=$?
  [ $rc -eq 1 ] || fail "full disk: exit $rc"
  # Whatever was written is whole: no truncated file stays behind.
  find "$work/full" -name '*.svg' >"$work/full-svg.txt"
  while IFS= read -r f; do xmllint --noout "$f" 2>/dev/null || fail "partial SVG left: $f"; done <"$work/full-svg.txt"
  find "$work/full" -name '*.png' >"$work/full-png.txt"
  while IFS= read -r f; do identify "$f" >/dev/null 2>&1 || fail "partial PNG left: $f"; done <"$work/full-png.txt"
  [ -f "$work/full/ic/vunk.ico" ] && { icotool -l "$work/full/ic/vunk.ico" >/dev/null 2>&1 || fail "partial icon file left"; }
  echo "full disk kept $(find "$work/full" -type f | wc -l) whole files"
  umount "$work/full"
else
  echo "[  SKIPPED ] full_disk: cannot mount a small file system"
fi

if [ $fails -eq 0 ]; then
  echo "icons_export: all checks passed"
  exit 0
fi
echo "icons_export: $fails failures"
exit 1
