#!/bin/sh
# The real console under Wine on an X display of its own (1920 x 1080, the
# work area too), driven by real X input through xdotool: the window's
# size and place at 96 and 144 DPI, the single instance, the title-bar
# buttons, a home card and Esc, the sidebar, a toast that fades, forged
# worker messages, and closing. Screenshots stay in <build>/app-window.
set -u
B=$VUNK_BUILD
S=$VUNK_SRC
IM=/usr/bin/convert-im6.q16  # the real ImageMagick; "convert" on PATH may be something else
work=$B/app-window
fails=0
fail() {
  echo "FAIL: $*"
  fails=$((fails + 1))
}
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# A prefix and a display of our own: the DPI is a setting of the prefix, and
# other tests must not see it change.
export WINEPREFIX="$B/app-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
n=140
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$n"
i=0
while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
cleanup() {
  wineserver -k 2>/dev/null
  kill "$xvfb" 2>/dev/null
}
trap cleanup EXIT
wineserver -k 2>/dev/null
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }

set_dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  wineserver -w
}

# The program in a folder of its own, with one machine whose launch fails (no
# QEMU in the folder --qemu names), so a red toast can be raised from the UI.
rm -rf "$work"
mkdir -p "$work/bin/machines/test-pc"
cp "$B/bin/vunk.exe" "$B/tests/post_forged.exe" "$work/bin/"
{ printf '\377\376'; printf '[machine]\r\nname=Test PC\r\nprofile=other-x64\r\ndisk=Z:\\nowhere\\disk.qcow2\r\n' |
  iconv -f utf-8 -t utf-16le; } > "$work/bin/machines/test-pc/machine.ini"
exe="$work/bin/vunk.exe"
log="$work/bin/vunk.log"

start() {
  wine "$exe" --qemu "$(winpath "$work/no-qemu")" >/dev/null 2>&1 &
  pid=$!
  win=$(timeout 60 xdotool search --sync --name '^V\.U\.N\.K\.$' | head -n 1)
  [ -n "$win" ] || fail "no main window"
  sleep 3  # first frames
}
# rc = the program's exit code once it ended (waited for here, in this
# shell: a zombie still answers kill -0), or "running" after 30 s.
ended() {
  i=0
  while [ -n "$(ps -o stat= -p "$pid" 2>/dev/null | grep -v Z)" ] && [ $i -lt 150 ]; do
    sleep 0.2
    i=$((i + 1))
  done
  if [ $i -ge 150 ]; then
    kill "$pid"
    rc=running
  else
    wait "$pid"
    rc=$?
  fi
}
# Waits up to 10 s for the window's geometry to contain a text.
wait_geometry() {
  i=0
  while ! geometry | grep -q "$1" && [ $i -lt 50 ]; do sleep 0.2; i=$((i + 1)); done
}
geometry() { xdotool getwindowgeometry --shell "$win" | tr '\n' ' '; }
# Client DIPs (96 DPI) to the screen, then real X input.
at() {
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + $1)) $((Y + $2))
}
click_at() {
  at "$1" "$2"
  sleep 0.3
  xdotool click 1
  sleep 1
}
shot() { import -window root "$work/$1.png"; }
# Share of lit pixels (brightest channel above 40%) in a box of a shot, the
# box in client DIPs (96 DPI) of the main window.
lit() {
  eval "$(xdotool getwindowgeometry --shell "$win")"
  "$IM" "$work/$1.png" -crop "$4x$5+$((X + $2))+$((Y + $3))" +repage -channel RGB -separate -evaluate-sequence max -threshold 40% -format '%[fx:mean]' info:; }
# Takes shots until the box is lit (want 1) or dark (want 0), at most 20 s.
until_lit() {
  want=$1
  shift
  i=0
  while [ $i -lt 20 ]; do
    shot "$1"
    if more "$(lit "$@")" 0.01; then got=1; else got=0; fi
    [ $got -eq "$want" ] && return 0
    sleep 1
    i=$((i + 1))
  done
  return 1
}
more() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# ---- 144 DPI: min(1080 - 60, 1500) = 1020 high, 1860 wide, at (30, 30);
# WM_CLOSE without machines exits 0.
set_dpi 144
start
g=$(geometry)
echo "144 DPI: $g"
echo "$g" | grep -q 'X=30 Y=30 WIDTH=1860 HEIGHT=1020' || fail "144 DPI window: $g"
wine "$work/bin/post_forged.exe" close
ended
[ "$rc" = 0 ] || fail "close at 144 DPI: exit $rc"
tail -n 1 "$log" | grep -q 'V.U.N.K. exits' || fail "no exit line in the log"

# ---- Tool modes that cannot do their work exit with their failure codes,
# also while no console runs (they skip the single-instance check): no QEMU,
# no release server, no ffmpeg, a screenshot width of 0.
closed=$(printf 'http://127.0.0.1:9;%.0s' 1 2 3 4 5 6 7)
for mode in "--selftest 1" "--selftest-media 1" "--shots 2" "--record-demo 1"; do
  set -- $mode
  VUNK_RELEASE_ORIGINS=$closed timeout 120 wine "$exe" "$1" "$(winpath "$work/out")" 0 >/dev/null 2>&1
  rc=$?
  [ $rc -eq "$2" ] || fail "$1: exit $rc, not $2"
done
grep -q -- '--shots: no screenshots of 0 x 1000 pixels' "$log" || fail "no log line for --shots"

# ---- 96 DPI: 1640 x 1000 centred at (140, 40).
set_dpi 96
start
g=$(geometry)
echo "96 DPI: $g"
echo "$g" | grep -q 'X=140 Y=40 WIDTH=1640 HEIGHT=1000' || fail "96 DPI window: $g"
grep -q 'V.U.N.K. started (pid' "$log" || fail "no start line in the log"
shot home
# The two cards and the map are drawn.
more "$(lit home 96 646 420 96)" 0.01 || fail "home: the cards are not drawn"
more "$(lit home 160 90 1300 400)" 0.005 || fail "home: the map is not drawn"

# A second instance brings the first forward and exits 0; the first stays.
timeout 60 wine "$exe" >/dev/null 2>&1
rc=$?
[ $rc -eq 0 ] || fail "second instance: exit $rc"
kill -0 "$pid" 2>/dev/null || fail "the first instance ended"

# Forged worker messages from another program are ignored without a crash.
wine "$work/bin/post_forged.exe"
rc=$?
[ $rc -eq 0 ] || fail "post_forged: exit $rc"
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the console died on a forged pointer"

# "opt" 0 opens the wizard (its placeholder); Esc returns home.
click_at 306 694
until_lit 1 wizard 140 110 400 40 || fail "wizard: its panel is not drawn"
more "$(lit wizard 96 646 420 96)" 0.01 && fail "wizard: the home cards still show"
xdotool key Escape
until_lit 1 home-again 96 646 420 96 || fail "Esc did not return home"

# The sidebar expands (NEW SYSTEM gets its label) and collapses.
click_at 36 70
until_lit 1 sidebar-open 58 902 140 20 || fail "the sidebar did not expand"
click_at 252 70
until_lit 0 sidebar-closed 58 902 140 20 || fail "the sidebar did not collapse"

# The settings view, through the sidebar's configuration button.
click_at 36 962
until_lit 1 settings 96 100 400 60 || fail "settings: not drawn"
xdotool key Escape
until_lit 1 home-back 96 646 420 96 || fail "Esc did not leave the settings view"

# LAUNCH of a machine without QEMU: a red toast that fades after 10 s.
click_at 1465 713
until_lit 1 toast 476 58 760 50 || fail "no toast after a failed launch"
sleep 9
until_lit 0 toast-gone 476 58 760 50 || fail "the toast did not fade"

# Title bar: the maximise button maximises (without a window manager the X
# window keeps its place, so Windows is asked); restored by the helper.
click_at 1571 22
i=0
until wine "$work/bin/post_forged.exe" zoomed || [ $i -ge 20 ]; do sleep 0.5; i=$((i + 1)); done
wine "$work/bin/post_forged.exe" zoomed || fail "the maximise button did not maximise"
wine "$work/bin/post_forged.exe" restore
sleep 2
wine "$work/bin/post_forged.exe" zoomed && fail "not restored"

# The close button ends the program (no machine docked): exit 0.
click_at 1617 22
ended
[ "$rc" = 0 ] || fail "close button: exit $rc"
tail -n 1 "$log" | grep -q 'V.U.N.K. exits' || fail "no exit line after the close button"

echo "screenshots in $work"
[ $fails -eq 0 ] && echo "app_window: all checks passed"
exit $fails
