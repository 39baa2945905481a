#!/bin/sh
# "vunk.exe --selftest REPORT" as a user runs it, through the QEMU bridge:
#   1. the whole run with a made-up Quadra ROM and an hformat volume: exit 0
#      and the report's line sequence (variable parts normalised), no
#      screendump or scratch folder left behind;
#   2. a report in a missing folder: exit 3 and no scratch folder;
#   3. a qemu-system-x86_64 that exits at once: FAIL lines with its error, exit 1;
#   4. a QEMU folder without ppc and m68k: their SKIP lines, exit 0.
set -u
. "$VUNK_SRC/tests/tools/tools_lib.sh"
: "${WINEPREFIX:=$B/test-wineprefix}"
work=$B/tools-selftest
rm -rf "$work"
mkdir -p "$work"

scratch_left() { find "$WINEPREFIX/drive_c/users" -maxdepth 6 -type d -name vunk-selftest | head -n 1; }
lines() { tr -d '\r' <"$1"; }
# The report with what varies from run to run replaced by fixed words.
normalised() {
  lines "$1" | sed \
    -e 's/^\(V\.U\.N\.K\. self test  qemu=\).*/\1Q/' \
    -e 's/^\(PASS  screendump -> \).*\.png$/\1PNG/' \
    -e 's/^\(PASS  still running after 70 s, screendump \).*\.png$/\1PNG/' \
    -e 's/^\(PASS  CPU samples (\)[1-9][0-9]*, last [0-9]*\.[0-9][0-9] cores), memory [0-9.]*[BKMGT]$/\1N, last X cores), memory M/' \
    -e 's/^\(PASS  missing disk: DISK NOT FOUND: \).*\\vunk-selftest\\missing\.qcow2$/\1MISSING/' \
    -e 's/^\(PASS  READY + SIZE (\)[1-9][0-9]*x[1-9][0-9]*)$/\1WxH)/'
}
can_embed() {
  python3 -c "import sys; sys.exit(0 if 'QEMU_D3D11_EMBED_CMD'.encode('utf-16-le') in open(sys.argv[1],'rb').read() else 1)" "$1"
}
cycle() {
  printf '%s\n' "PASS  launch: ok" "PASS  QEMU running, QMP connected" "PASS  query-status = running" \
    "PASS  pause -> STOP event" "PASS  resume -> RESUME event" "PASS  screendump -> PNG" \
    "PASS  CPU samples (N, last X cores), memory M" "PASS  force off -> exit detected"
}
embed() {  # profile, arch name of the SKIP line
  if [ "$embeds" = 1 ]; then
    printf '%s\n' "-- embedded display, $1 (parent=, QEMU_D3D11_NO_SWAPCHAIN=1)" \
      "PASS  launch with a host window: ok" "PASS  READY + SIZE (WxH)" \
      "PASS  QEMU's window is a child of the VM's host window" \
      "PASS  DETACH -> DETACHED, a top-level window now" \
      "PASS  DOCK (ATTACH) -> READY, a child of the host again" "PASS  force off -> exit detected"
  elif [ -n "$2" ]; then
    echo "SKIP  embedded display, $2 (this QEMU can't embed)"
  fi
}
head_lines() {
  printf '%s\n' "V.U.N.K. self test  qemu=Q" \
    "      x86 accel TCG (no hypervisor platform), QEMU DLLs from the MSYS2 folder" \
    "PASS  qemu-img create 64M qcow2" "-- generic profile (other-x64)"
}
tail_lines() {
  printf '%s\n' "-- guards" "PASS  missing disk: DISK NOT FOUND: MISSING" \
    "SKIP  main disk guard (the main Tiger VM is not running)" \
    "SKIP  run-tiger path (no Tiger setup on this PC)" "PASS  the Mac OS X Intel profile is hidden" \
    "ALL PASSED (0 failures)"
}
embeds=0
can_embed "$B/qemu/qemu-system-x86_64.exe" && embeds=1
echo "the bridge can embed: $embeds"
[ $embeds = 1 ] || echo "[  SKIPPED ] embedded_display: this QEMU bridge cannot embed"

# ---- 1. the whole run --------------------------------------------------------
head -c 1048576 /dev/zero >"$work/quadra.rom"
# The ROM check's checksum, a reset entry 8 bytes in, and there a branch to itself.
printf '\361\254\255\023\000\000\000\010\140\376' | dd of="$work/quadra.rom" conv=notrunc status=none
head -c 4194304 /dev/zero >"$work/volume.img"
hformat -l "Selftest" "$work/volume.img" >/dev/null
program "$work/full" qemu_dir="$B/qemu" tiger_root="$work/no-tiger" machines_dir="$work/full/machines"
t0=$(date +%s)
VUNK_TEST_MAC_ROM=$(winpath "$work/quadra.rom") VUNK_TEST_HFS=$(winpath "$work/volume.img") \
  run "$work/full" --selftest "$(winpath "$work/report.txt")"
echo "full run: exit $rc after $(($(date +%s) - t0)) s"
[ $rc -eq 0 ] || fail "full run exited $rc"
{
  head_lines
  cycle
  embed other-x64 x86_64
  echo "-- generic profile (macosx-ppc)"
  cycle
  embed macosx-ppc ppc
  echo "-- 68K (macos7-68k, Quadra 800)"
  echo "PASS  blank disk: partition map + driver at block 64 "
  cycle
  embed macos7-68k ""
  printf '%s\n' "PASS  bootable copy of a bare HFS volume " "PASS  launch the copy: ok" \
    "PASS  still running after 70 s, screendump PNG"
  tail_lines
} >"$work/expected.txt"
normalised "$work/report.txt" >"$work/actual.txt"
diff -u "$work/expected.txt" "$work/actual.txt" >"$work/report.diff" || {
  fail "report lines differ:"
  cat "$work/report.diff"
}
# Screendumps are deleted once checked; the scratch folder goes at the end.
lines "$work/report.txt" | sed -n 's/^PASS  .*screendump\(s\)* \(-> \)*\([A-Z]:\\.*\.png\)$/\3/p' | while read -r p; do
  u=$WINEPREFIX/drive_c/$(printf '%s' "${p#?:\\}" | tr '\\' /)
  [ -e "$u" ] && echo "FAIL: screendump left behind: $p"
done | grep . && fails=$((fails + 1))
[ -z "$(scratch_left)" ] || fail "scratch folder left: $(scratch_left)"

# ---- 2. a report that cannot be written --------------------------------------
run "$work/full" --selftest "$(winpath "$work/no/such/folder/report.txt")"
[ $rc -eq 3 ] || fail "unwritable report: exit $rc, not 3"
[ -z "$(scratch_left)" ] || fail "unwritable report: scratch folder made"

# ---- 3. a QEMU that exits at once --------------------------------------------
mkdir -p "$work/dying-bin" "$work/dying-qemu"
ln -s "$(command -v qemu-img)" "$work/dying-bin/qemu-img"
printf '#!/bin/sh\necho "looking for a display" >&2\necho "qemu-system-x86_64: none usable here" >&2\nexit 1\n' \
  >"$work/dying-bin/qemu-system-x86_64"
chmod +x "$work/dying-bin/qemu-system-x86_64"
cp "$B/qemu/qemu-img.exe" "$B/qemu/qemu-system-x86_64.exe" "$work/dying-qemu/"
program "$work/dying" qemu_dir="$work/dying-qemu" tiger_root="$work/no-tiger" machines_dir="$work/dying/machines"
VUNK_BRIDGE_BIN=$work/dying-bin run "$work/dying" --selftest "$(winpath "$work/dying.txt")"
[ $rc -eq 1 ] || fail "dying QEMU: exit $rc, not 1"
lines "$work/dying.txt" >"$work/dying.lines"
for want in "PASS  launch: ok" "FAIL  QEMU running, QMP connected" \
  "SKIP  PowerPC (no qemu-system-ppc.exe)" "SKIP  68K (no qemu-system-m68k.exe)"; do
  grep -qxF "$want" "$work/dying.lines" || fail "dying QEMU: no line \"$want\""
done
# The explanation is the log's tail, one report line each, nothing empty.
grep -A 2 -xF "FAIL  QEMU running, QMP connected" "$work/dying.lines" | tail -n 2 >"$work/dying.error"
printf '%s\n' "      error: looking for a display" "             qemu-system-x86_64: none usable here" |
  diff -u - "$work/dying.error" || fail "dying QEMU: error lines"
grep -qx '' "$work/dying.lines" && fail "dying QEMU: an empty report line"
grep -q '^FAILED ([1-9][0-9]* failures)$' "$work/dying.lines" || fail "dying QEMU: final line: $(tail -n 1 "$work/dying.lines")"
grep -q '^PASS  query-status' "$work/dying.lines" && fail "dying QEMU: the cycle went on after the exit"

# ---- 4. no PowerPC or 68K emulator -------------------------------------------
mkdir -p "$work/x86-qemu"
cp "$B/qemu/qemu-img.exe" "$B/qemu/qemu-system-x86_64.exe" "$work/x86-qemu/"
program "$work/x86" qemu_dir="$work/x86-qemu" tiger_root="$work/no-tiger" machines_dir="$work/x86/machines"
VUNK_TEST_MAC_ROM=$(winpath "$work/quadra.rom") run "$work/x86" --selftest "$(winpath "$work/x86.txt")"
[ $rc -eq 0 ] || fail "x86 only: exit $rc"
{
  head_lines
  cycle
  embed other-x64 x86_64
  printf '%s\n' "SKIP  PowerPC (no qemu-system-ppc.exe)" "SKIP  68K (no qemu-system-m68k.exe)"
  tail_lines
} >"$work/expected-x86.txt"
normalised "$work/x86.txt" | diff -u "$work/expected-x86.txt" - || fail "x86 only: report lines differ"

finish
