#!/usr/bin/env bash
# Runs dorvane.exe under wine where its command line asks for nothing it knows: the usage
# screen, with Windows line ends from text-mode stdout, into a file and through a pipe;
# nothing on stderr; status 2.
# usage: usage_test.sh EXPECTED_USAGE_FILE WINE_DIR DORVANE_EXE
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$here/../../cmake/wine-run.sh
prefix=$2/prefix
exe=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed 's/$/\r/' "$1" >"$tmp/expected"
passed=0
failed=0

verdict() {  # NAME STATUS
  local why=""
  [ "$2" = 2 ] || why="status $2, expected 2"
  cmp -s "$tmp/out" "$tmp/expected" || why="${why:+$why; }stdout is not the usage screen"
  [ -s "$tmp/err" ] && why="${why:+$why; }stderr not empty"
  if [ -z "$why" ]; then
    passed=$((passed + 1))
    echo "ok   $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: $why"
    od -c "$tmp/out" | head -4
    head -5 "$tmp/err"
  fi
}

to_file() {  # NAME [WORD...]
  local name=$1
  shift
  "$run" "$prefix" "$exe" "$@" >"$tmp/out" 2>"$tmp/err" </dev/null
  verdict "$name (file)" $?
}

to_pipe() {  # NAME [WORD...]
  local name=$1
  shift
  "$run" "$prefix" "$exe" "$@" 2>"$tmp/err" </dev/null | cat >"$tmp/out"
  verdict "$name (pipe)" "${PIPESTATUS[0]}"
}

for mode in to_file to_pipe; do
  $mode no_arguments
  $mode question_mark '/?'
  $mode mixed_case /Reboot /Logoff
  $mode empty_word ''
  $mode wildcard '/REBOOT*' '*'
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
