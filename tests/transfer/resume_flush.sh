#!/bin/sh
# The resume file reaches the disk before it takes its name: the engine's
# driver downloads small.bin from the fixture's nginx under strace, and each
# rename of the .resume.tmp it writes must follow a completed flush (fsync)
# of it. Renames happen in wineserver, so the run has a Wine prefix and a
# server of its own, started under strace and ended here; the server of the
# test run's prefix (another process tree) would not be traced.
#   resume_flush.sh BUILD MIRROR_PORT   (run by CTest with Wine's settings)
set -e
build=$1
port=$2
export WINEPREFIX="$build/tests/resume-flush-prefix"
dir=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$dir"' EXIT
# A server left from an interrupted run of this test (this prefix only).
wineserver -k 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the Wine prefix of this test (once)"
  wineboot -i >/dev/null 2>&1 || true
  timeout 120 wineserver -w || wineserver -k 2>/dev/null || true
fi
sha=$(cut -c1-64 "$build/tests/fixture-mirrors/www/small.bin.sha256")
# The first Wine program starts the server, so strace follows it; ending it
# ends the prefix's other processes too, and with them the trace.
strace -f -y -e trace=fsync,fdatasync,rename,renameat,renameat2 -o "$dir/trace" sh -c '
  wine "$@"
  rc=$?
  wineserver -k
  exit $rc' sh "$build/tests/xfer_driver.exe" "Z:$(echo "$dir" | tr / '\\')" small.bin "$sha" 2 \
  "http://127.0.0.1:$port/small.bin"
cmp "$dir/small.bin" "$build/tests/fixture-mirrors/www/small.bin"
python3 - "$dir/trace" <<'PY'
import re
import sys
flushes = renames = unflushed = 0
flushed = False     # the .tmp was flushed since its last rename
syncing = set()     # processes in the middle of a flush of the .tmp
for line in open(sys.argv[1]):
    pid = line.split(None, 1)[0]
    m = re.search(r"\b(?:fsync|fdatasync)\(\d+<[^>]*\.resume\.tmp>(?:\) += (-?\d+)| <unfinished \.\.\.>)", line)
    if m:
        if m.group(1) is None:
            syncing.add(pid)
        elif m.group(1) == "0":
            flushes += 1
            flushed = True
        continue
    m = re.search(r"<\.\.\. f(?:data)?sync resumed>.* = (-?\d+)", line)
    if m and pid in syncing:
        syncing.discard(pid)
        if m.group(1) == "0":
            flushes += 1
            flushed = True
        continue
    # rename(from, to), renameat(dirfd, from, dirfd, to): the .tmp as the source.
    if re.search(r'\brename(?:at2?)?\((?:[^,]+, )?"[^"]*\.resume\.tmp", ', line):
        renames += 1
        unflushed += not flushed
        flushed = False
print("resume file: %d flushes, %d renames seen, %d renames without a flush before them" % (flushes, renames, unflushed))
sys.exit(0 if renames > 0 and unflushed == 0 else 1)
PY
