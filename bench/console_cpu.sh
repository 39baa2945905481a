#!/bin/sh
# bench_present: what the console really costs under Wine. The real vunk.exe
# runs on a display of its own as a user runs it (one machine on file, its
# QEMU the bridge's); per view the CPU time of its whole process is read from
# Linux (/proc/PID/stat: every thread, the software renderer's included) over
# SECONDS, beside the frames Wine actually presented (its fps trace): the home
# view (60 frames a second), the new-system wizard (30), the running-machine
# view of an idle guest docked in the console (15) and the settings view.
# Beside each, the floor: a window of the same size whose frames are only a
# Direct3D clear and a present, at the same rate (bench_present).
# Screenshots of the views stay in <build>/bench-cpu.
#   BUILD=<build folder> [SECONDS=20] [LP_NUM_THREADS=n] [VUNK_WINE_CSMT=1] [EXE=other vunk.exe]
#   [VIEWS="home wizard settings running"] [FLOORS="60 30 15"] sh bench/console_cpu.sh
# (LP_NUM_THREADS and VUNK_WINE_CSMT as scripts/run.sh and scripts/wine-env.sh
# describe them.)
# The load average is printed with the figures: the machine may be shared.
set -u
cd "$(dirname "$0")/.."
BUILD=${BUILD:-$(pwd)/build}
export BUILD
SECONDS_EACH=${SECONDS:-20}
export LP_NUM_THREADS="${LP_NUM_THREADS:-2}"  # as scripts/run.sh runs the console
VIEWS=${VIEWS-home wizard settings running}
FLOORS=${FLOORS-60 30 15}
wanted() { echo " $VIEWS " | grep -q " $1 "; }
VUNK_TARGETS="vunk qemu_bridge bench_present" sh scripts/build.sh >/dev/null || exit 1
work=$BUILD/bench-cpu
rm -rf "$work"
mkdir -p "$work/bin/machines/bench-pc"
cp "${EXE:-$BUILD/bin/vunk.exe}" "$work/bin/vunk.exe"
ln -s "$BUILD/bin/qemu" "$work/bin/qemu"
qemu-img create -q -f qcow2 "$work/bin/machines/bench-pc/disk.qcow2" 64M
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
{ printf '\377\376'; printf '[machine]\r\nname=Bench PC\r\nprofile=linux-x64\r\ndisk=%s\r\nmem=256\r\ncpus=1\r\n' \
    "$(winpath "$work/bin/machines/bench-pc/disk.qcow2")" | iconv -f utf-8 -t utf-16le; } \
  > "$work/bin/machines/bench-pc/machine.ini"

VUNK_OWN_DISPLAY=1
set +u  # the shared Wine set-up reads variables that may be unset
. scripts/wine-env.sh
set +e
hz=$(getconf CLK_TCK)
# utime + stime of a process, all its threads, in clock ticks (the fields
# after the command name, which may hold blanks).
ticks() { sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13 }'; }
# "tid name ticks" of each thread of a process.
thread_ticks() {
  for t in /proc/"$1"/task/*; do
    printf '%s %s %s\n' "${t##*/}" "$(tr ' ' '_' < "$t/comm")" "$(sed 's/^.*) //' "$t/stat" | awk '{ print $12 + $13 }')"
  done 2>/dev/null
}
# The Linux process whose command line holds a text (another engineer's
# programs may run on the machine under the same names).
pid_of() {
  for p in $(pgrep -f "$(printf '%s' "$1" | tr -c 'A-Za-z0-9\n' '.')"); do
    tr '\0' ' ' < "/proc/$p/cmdline" 2>/dev/null | grep -qF "$1" && { echo "$p"; return; }
  done
}
report=$work/report.txt
: > "$report"
# measure NAME PID FPSLOG: cores, presents a second and ms of CPU a presented
# frame of PID over SECONDS_EACH, the presents counted from Wine's fps trace.
measure() {
  name=$1 p=$2 log=$3
  off0=$(wc -c < "$log")
  threads0=$(thread_ticks "$p")
  c0=$(ticks "$p") t0=$(date +%s.%N)
  q=$(pid_of "$work/bin/machines/bench-pc")
  [ -n "$q" ] && q0=$(ticks "$q")
  sleep "$SECONDS_EACH"
  c1=$(ticks "$p") t1=$(date +%s.%N)
  [ -n "$q" ] && q1=$(ticks "$q")
  threads1=$(thread_ticks "$p")
  # The trace gives a rate every second or two, per swap chain: the window's
  # is the one that reports most often.
  fps=$(tail -c +"$((off0 + 1))" "$log" | grep -a 'exec_present' |
    sed -n 's/.*exec_present \([0-9A-Fa-f]*\) @ approx \([0-9.]*\)fps.*/\1 \2/p' |
    awk '{ n[$1]++; s[$1] += $2 } END { best = ""; for (k in n) if (best == "" || n[k] > n[best]) best = k;
           if (best == "") print 0; else printf "%.1f\n", s[best] / n[best] }')
  qcpu=-
  d=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  [ -n "$q" ] && qcpu=$(awk -v a="$q0" -v b="$q1" -v h="$hz" -v d="$d" 'BEGIN { printf "%.3f", (b - a) / h / d }')
  awk -v n="$name" -v a="$c0" -v b="$c1" -v h="$hz" -v d="$d" -v f="$fps" -v q="$qcpu" \
    'BEGIN { c = (b - a) / h / d; printf "%-10s %6.2f cores %6.1f presents/s %8s ms CPU/present   qemu %s cores\n",
             n, c, f, (f > 0 ? sprintf("%.1f", c * 1000 / f) : "-"), q }' | tee -a "$report"
  # Where the time went: each thread's share over the same stretch, by name.
  printf '%s\n--\n%s\n' "$threads0" "$threads1" | awk -v n="$name" -v h="$hz" -v d="$d" '
    $0 == "--" { second = 1; next }
    !second { before[$1] = $3; next }
    { t[$2] += $3 - before[$1] }
    END { printf "%-10s threads (cores):", n; for (k in t) if (t[k] > 0) printf " %s %.2f", k, t[k] / h / d; printf "\n" }' |
    tee -a "$report"
}
floor() {
  fps=$1
  log=$work/floor-$fps.log
  WINEDEBUG=-all,+fps wine "$BUILD/bench/bench_present.exe" "$fps" "$((SECONDS_EACH + 4))" > "$work/floor-$fps.out" 2> "$log" &
  fp=$!
  sleep 3
  p=$(pid_of "$BUILD/bench/bench_present.exe")
  [ -n "$p" ] && measure "floor@$fps" "$p" "$log"
  wait "$fp"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); LP_NUM_THREADS=$LP_NUM_THREADS;" \
  "Direct3D commands on $(csmt_off && echo "the drawing thread" || echo "Wine's own thread")" | tee -a "$report"
for f in $FLOORS; do floor "$f"; done
log=$work/vunk-fps.log
WINEDEBUG=-all,+fps wine "$work/bin/vunk.exe" > /dev/null 2> "$log" &
# The main window (its title is the program's name; a window that comes and
# goes meanwhile is passed over).
win=
i=0
while [ -z "$win" ] && [ $i -lt 120 ]; do
  for w in $(xdotool search --name '^V\.U\.N\.K\.$' 2>/dev/null); do
    xdotool getwindowgeometry "$w" >/dev/null 2>&1 && win=$w
  done
  sleep 0.5
  i=$((i + 1))
done
sleep 4
vpid=$(pid_of "$work/bin/vunk.exe")
if [ -z "$win" ] || [ -z "$vpid" ]; then
  echo "the console did not start"
  wine_env_stop
  exit 1
fi
at() {
  eval "$(xdotool getwindowgeometry --shell "$win")"
  xdotool mousemove $((X + $1)) $((Y + $2))
}
away() { at 900 30; }  # over the title bar's text: nothing hovered
click_at() {
  at "$1" "$2"
  sleep 0.3
  xdotool click 1
  away
}
shot() { import -window root "$work/$1.png"; }

away
sleep 2
if wanted home; then
  shot home
  measure home "$vpid" "$log"
fi
if wanted wizard; then
  xdotool key ctrl+n
  sleep 3
  shot wizard
  measure wizard "$vpid" "$log"
  xdotool key Escape
  sleep 1
fi
if wanted settings; then
  click_at 36 962  # the sidebar's CONFIGURATION button (1000 pixels high, 96 DPI)
  sleep 3
  shot settings
  measure settings "$vpid" "$log"
  xdotool key Escape
  sleep 1
fi
if wanted running; then
  click_at 1465 713  # LAUNCH of the one machine on file
  i=0
  while ! grep -q 'embedded, window' "$work/bin/vunk.log" 2>/dev/null && [ $i -lt 120 ]; do sleep 0.5; i=$((i + 1)); done
  grep -q 'embedded, window' "$work/bin/vunk.log" || echo "the guest did not dock" | tee -a "$report"
  # The launch effect, the firmware's first screens, and the toast the launch
  # raised (no acceleration here), which keeps 60 frames a second while it fades.
  sleep 12
  shot running
  measure running "$vpid" "$log"
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$report"
wineserver -k 2>/dev/null
wine_env_stop
exit 0
