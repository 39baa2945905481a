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

finish() {
  if [ $fails -eq 0 ]; then
    echo "all checks passed"
    exit 0
  fi
  echo "$fails checks failed"
  exit 1
}
