# Sourced by the run and test scripts: a Wine prefix inside the build folder,
# an X display (Xvfb when there is none), and no stale wineserver.
BUILD=${BUILD:-$(pwd)/build}
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No crash debugger: a crashing program must end (and fail its test), not wait
# for a debugger nobody attends.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
XVFB_PID=""
wineserver -k 2>/dev/null || true
# Tests always get a display of their own; a run uses the desktop's when there is one.
if [ -n "$VUNK_OWN_DISPLAY" ] || [ -z "$DISPLAY" ]; then
  # Xvfb picks a free display itself and names it once it is ready, so two
  # test runs that start together cannot take the same one.
  dfd=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$dfd" >/dev/null 2>&1 &
  XVFB_PID=$!
  i=0
  while [ ! -s "$dfd" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  export DISPLAY=":$(head -n 1 "$dfd")"
  rm -f "$dfd"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix (once)"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
# Direct3D under Wine runs its commands on a thread of its own that spins
# while it waits for the next frame's (most of a core at any frame rate, see
# bench/console_cpu.sh): here they run on the drawing thread instead.
# VUNK_WINE_CSMT=1 keeps Wine's default, for measuring it.
csmt_off() { grep -q '^"csmt"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null; }
if [ "${VUNK_WINE_CSMT:-0}" = 1 ]; then
  if csmt_off; then
    wine reg delete 'HKCU\Software\Wine\Direct3D' /v csmt /f >/dev/null 2>&1
    wineserver -w
  fi
elif ! csmt_off; then
  wine reg add 'HKCU\Software\Wine\Direct3D' /v csmt /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
fi
# Wine's system processes start with the first program of a session and keep
# that program's output handles for as long as the session lasts. A program
# that holds the session open from here, its output going nowhere, keeps them
# off the tests' pipes; otherwise CTest waits for a test until every other Wine
# program has ended too.
wine ping -n 1000000 127.0.0.1 </dev/null >/dev/null 2>&1 &
# Until it runs, a program started next could start the session itself.
i=0
while [ $i -lt 200 ]; do
  for p in $(pgrep -f 'ping.exe -n 1000000'); do
    tr '\0' '\n' < "/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && i=200
  done
  [ $i -lt 200 ] && sleep 0.1
  i=$((i + 1))
done
wine_env_stop() {
  wineserver -k 2>/dev/null || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}
