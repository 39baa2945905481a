# Sourced by the run and test scripts: a Wine prefix inside the build folder,
# an X display (Xvfb when there is none), and no stale wineserver.
#
# The run (VUNK_RUN_SESSION=1, scripts/run.sh) has the prefix build/wineprefix
# and keeps its session while programs of the console still run in it: the
# machines a closed console left running in windows of their own live in that
# session, on its display, and the next run joins them there. Tests and
# benches have build/test-wineprefix and end their session every time, which
# never touches the run's.
BUILD=${BUILD:-$(pwd)/build}
if [ -n "$VUNK_RUN_SESSION" ]; then
  export WINEPREFIX="$BUILD/wineprefix"
else
  export WINEPREFIX="$BUILD/test-wineprefix"
fi
export WINEDEBUG=-all
# No crash debugger: a crashing program must end (and fail its test), not wait
# for a debugger nobody attends.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
XVFB_PID=""
# The display and Xvfb of the run's session, for the next run.
WINE_SESSION_FILE="$WINEPREFIX/vunk-session"

# Waits for the session to end by itself, at most two minutes. On a loaded
# machine a new session's driver hosts have been seen to outlive their service
# manager, and the server then waits for them for ever: such a session is
# ended.
wine_settle() { timeout 120 wineserver -w || wineserver -k 2>/dev/null || true; }

# Whether Linux process pid runs in this prefix's session.
in_prefix() { tr '\0' '\n' <"/proc/$1/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; }

# Linux ids of the console's programs (vunk.exe and the qemu-system-*.exe it
# started) that run in this prefix's session.
console_pids() {
  for p in $(pgrep -f -i 'vunk\.exe|qemu-system-[^ ]*\.exe'); do
    first=$(tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | head -n 1)
    case "$(printf '%s' "${first##*[/\\]}" | tr 'A-Z' 'a-z')" in
      vunk.exe | qemu-system-*.exe) ;;
      *) continue ;;
    esac
    in_prefix "$p" && echo "$p"
  done
}

# Whether pid is an Xvfb that still runs.
xvfb_alive() { [ -n "$1" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = Xvfb ]; }

# Ends the session: its Wine processes, and the Xvfb it was started on.
wine_env_end() {
  wineserver -k 2>/dev/null || true
  xvfb_alive "$XVFB_PID" && kill "$XVFB_PID" 2>/dev/null || true
  rm -f "$WINE_SESSION_FILE"
  XVFB_PID=""
}

# Ends the session unless it is the run's and programs of the console still
# run in it: then it stays for the next run, with its display.
wine_env_stop() {
  if [ -n "$VUNK_RUN_SESSION" ]; then
    if [ -n "$(console_pids)" ]; then
      echo "V.U.N.K.'s machines or console still run: their Wine session stays on DISPLAY=$DISPLAY for the next run"
      return 0
    fi
  fi
  wine_env_end
}

# A run joins the session an earlier run left: same prefix, same display.
joined=""
if [ -n "$VUNK_RUN_SESSION" ] && [ -f "$WINE_SESSION_FILE" ]; then
  kept_display=$(sed -n 's/^DISPLAY=//p' "$WINE_SESSION_FILE")
  XVFB_PID=$(sed -n 's/^XVFB_PID=//p' "$WINE_SESSION_FILE")
  if [ -n "$kept_display" ] && [ -n "$(console_pids)" ] && { [ -z "$XVFB_PID" ] || xvfb_alive "$XVFB_PID"; }; then
    export DISPLAY="$kept_display"
    joined=1
    echo "joining the Wine session V.U.N.K. left running (DISPLAY=$DISPLAY)"
  else
    # Nothing of the console is left there (or its display is gone): a
    # wineserver from an earlier X display would make window creation fail.
    wine_env_end
  fi
fi
if [ -z "$joined" ]; then
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
    wine_settle
  fi
fi
# Direct3D under Wine runs its commands on a thread of its own that spins
# while it waits for the next frame's (most of a core at any frame rate, see
# bench/console_cpu.sh): here they run on the drawing thread instead.
# VUNK_WINE_CSMT=1 keeps Wine's default, for measuring it. A joined session
# lives on: its registry takes the change at once.
settle() { [ -n "$joined" ] || wine_settle; }
csmt_off() { grep -q '^"csmt"=dword:00000000' "$WINEPREFIX/user.reg" 2>/dev/null; }
if [ "${VUNK_WINE_CSMT:-0}" = 1 ]; then
  if csmt_off; then
    wine reg delete 'HKCU\Software\Wine\Direct3D' /v csmt /f >/dev/null 2>&1
    settle
  fi
elif ! csmt_off; then
  wine reg add 'HKCU\Software\Wine\Direct3D' /v csmt /t REG_DWORD /d 0 /f >/dev/null 2>&1
  settle
fi
if [ -z "$joined" ]; then
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
      in_prefix "$p" && i=200
    done
    [ $i -lt 200 ] && sleep 0.1
    i=$((i + 1))
  done
  if [ -n "$VUNK_RUN_SESSION" ]; then
    printf 'DISPLAY=%s\nXVFB_PID=%s\n' "$DISPLAY" "$XVFB_PID" >"$WINE_SESSION_FILE"
  fi
fi
