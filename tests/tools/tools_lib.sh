# Sourced by the tool-mode checks: a program folder of its own per run (a
# copy of vunk.exe with its own vunk.ini and log), Windows paths, failures.
B=$VUNK_BUILD
S=$VUNK_SRC
fails=0
fail() {
  echo "FAIL: $*"
  fails=$((fails + 1))
}
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# program FOLDER KEY=VALUE...: vunk.exe and a UTF-16LE vunk.ini with the
# given keys of section [paths] (values are Linux paths, written as Windows ones).
program() {
  dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$B/bin/vunk.exe" "$dir/vunk.exe"
  {
    printf '[paths]\r\n'
    for kv in "$@"; do printf '%s=%s\r\n' "${kv%%=*}" "$(winpath "${kv#*=}")"; done
  } | iconv -f UTF-8 -t UTF-16LE >"$dir/body"
  { printf '\377\376'; cat "$dir/body"; } >"$dir/vunk.ini"
  rm -f "$dir/body"
}

# run FOLDER ARGS...: the program under Wine; the exit code in $rc.
run() {
  dir=$1
  shift
  sh "$S/scripts/wine-run" "$dir/vunk.exe" "$@"
  rc=$?
}

# scan_rows PNG: the median brightness of a pixel on a row y % 3 == 2 over
# that of the pixels above and below it, where those two are lit and alike
# (text and edges left out), two decimals: 0.82 under the console's
# scanlines, 1.00 without them; "-" when no pixel qualifies.
scan_rows() {
  /usr/bin/convert-im6.q16 "$1" -colorspace gray -depth 8 pgm:- | python3 -c '
import sys
d = sys.stdin.buffer.read()
w, h = map(int, d.split(maxsplit=3)[1:3])
px = d[-w * h:]
r = []
for y in range(2, h - 1, 3):
    up, mid, down = px[(y - 1) * w:y * w], px[y * w:(y + 1) * w], px[(y + 1) * w:(y + 2) * w]
    r += [2 * m / (a + b) for a, m, b in zip(up, mid, down) if a >= 24 and b >= 24 and abs(a - b) * 10 <= a + b]
r.sort()
print("%.2f" % r[len(r) // 2] if r else "-")'
}
# no_scan_rows PNG...: a failure for each picture that shows the pattern.
no_scan_rows() {
  for f in "$@"; do
    r=$(scan_rows "$f")
    awk "BEGIN { exit !($r > 0.95) }" 2>/dev/null ||
      fail "$(basename "$f") shows scanlines (rows y % 3 = 2 at $r of their neighbours)"
  done
}

finish() {
  if [ $fails -eq 0 ]; then
    echo "all checks passed"
    exit 0
  fi
  echo "$fails checks failed"
  exit 1
}
