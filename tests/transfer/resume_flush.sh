#!/bin/sh
# The resume file reaches the disk before it takes its name: the engine's
# driver downloads small.bin from the fixture's nginx under strace, and the
# .resume.tmp it writes must be flushed (fsync) before each rename. Renames
# happen in wineserver: when this run starts the server, strace follows it
# and the order is checked too; otherwise the flushes are counted.
#   resume_flush.sh BUILD MIRROR_PORT   (run by CTest with Wine's settings)
set -e
build=$1
port=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sha=$(cut -c1-64 "$build/tests/fixture-mirrors/www/small.bin.sha256")
strace -f -y -e trace=fsync,fdatasync,rename,renameat,renameat2 -o "$dir/trace" \
  wine "$build/tests/xfer_driver.exe" "Z:$(echo "$dir" | tr / '\\')" small.bin "$sha" 2 \
  "http://127.0.0.1:$port/small.bin"
cmp "$dir/small.bin" "$build/tests/fixture-mirrors/www/small.bin"
python3 - "$dir/trace" <<'PY'
import sys
synced = renames = unsynced = 0
pending = False  # a flush of the .tmp not yet followed by its rename
for line in open(sys.argv[1]):
    if "resume.tmp" not in line:
        continue
    if "fsync(" in line or "fdatasync(" in line:
        synced += 1
        pending = True
    elif "rename" in line:
        renames += 1
        unsynced += not pending
        pending = False
print("resume file: %d flushes, %d renames seen, %d renames without a flush" % (synced, renames, unsynced))
sys.exit(0 if synced > 0 and unsynced == 0 else 1)
PY
