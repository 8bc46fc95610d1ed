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
source "$here/../checks.sh"
sed 's/$/\r/' "$1" >"$tmp/expected"

to_file() {  # NAME [WORD...]
  local name=$1
  shift
  "$run" "$prefix" "$exe" "$@" >"$tmp/out" 2>"$tmp/err" </dev/null
  verdict "$name (file)" $? 2 "$tmp/expected"
}

to_pipe() {  # NAME [WORD...]
  local name=$1
  shift
  "$run" "$prefix" "$exe" "$@" 2>"$tmp/err" </dev/null | cat >"$tmp/out"
  verdict "$name (pipe)" "${PIPESTATUS[0]}" 2 "$tmp/expected"
}

for mode in to_file to_pipe; do
  $mode no_arguments
  $mode question_mark '/?'
  $mode mixed_case /Reboot /Logoff
  $mode empty_word ''
  $mode wildcard '/REBOOT*' '*'
done

finish
