#!/bin/sh
# Makes an assets folder for --record-qe with Debian's ffmpeg:
#   sp.png          a 1280 x 720 picture of a guest window: a title bar, a
#                   side list and rows of "text" bars, with bright bars where
#                   the feature video puts its three highlights
#   react/, bloom/  eight raw P6 PPM frames each (1280 x 720, maxval 255) of two
#                   moving patterns, with a times.txt listing them 0.8 s apart
#   sh make_assets.sh OUTDIR
set -e
out=$1
[ -n "$out" ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
rm -rf "$out"
mkdir -p "$out/react" "$out/bloom"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# Window chrome, a side list, then table rows; the highlights look at
# x 212..436 and y 202..216, 228..242, 280..294 of this picture.
boxes="drawbox=x=60:y=40:w=1160:h=640:color=0xd8d8d8:t=fill"
boxes="$boxes,drawbox=x=60:y=40:w=1160:h=26:color=0xa8a8b0:t=fill"
boxes="$boxes,drawbox=x=72:y=48:w=12:h=12:color=0xe05050:t=fill"
boxes="$boxes,drawbox=x=90:y=48:w=12:h=12:color=0xe0b040:t=fill"
boxes="$boxes,drawbox=x=108:y=48:w=12:h=12:color=0x50b050:t=fill"
boxes="$boxes,drawbox=x=60:y=66:w=140:h=614:color=0xe8ecf2:t=fill"
y=80
while [ $y -lt 400 ]; do
  boxes="$boxes,drawbox=x=72:y=$y:w=100:h=8:color=0x606878:t=fill"
  y=$((y + 22))
done
y=98
while [ $y -lt 660 ]; do
  boxes="$boxes,drawbox=x=212:y=$((y + 4)):w=$((120 + (y * 7) % 200)):h=8:color=0x404048:t=fill"
  y=$((y + 26))
done
for top in 202 228 280; do
  boxes="$boxes,drawbox=x=212:y=$top:w=220:h=14:color=0x1850c8:t=fill"
done
ff -f lavfi -i "color=c=0x2a3848:s=1280x720" -frames:v 1 -vf "$boxes" "$out/sp.png"

# Two moving patterns standing in for recorded guest programs.
footage() {  # folder, lavfi source
  ff -f lavfi -i "$2" -frames:v 8 -pix_fmt rgb24 "$out/$1/f%02d.ppm"
  : >"$out/$1/times.txt"
  i=1
  while [ $i -le 8 ]; do
    printf 'f%02d.ppm %s\n' $i "$(awk "BEGIN { printf \"%.2f\", ($i - 1) * 0.8 }")" >>"$out/$1/times.txt"
    i=$((i + 1))
  done
}
footage react "gradients=s=1280x720:rate=2:speed=0.04:n=5"
footage bloom "mandelbrot=s=1280x720:rate=2:maxiter=120"
