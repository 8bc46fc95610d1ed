#!/usr/bin/env bash
# Runs dorvane.exe under wine where its command line asks for nothing it knows: the usage
# screen, with Windows line ends from text-mode stdout, into a file and through a pipe;
# nothing on stderr; status 2.
# usage: usage_test.sh EXPECTED_USAGE_FILE win32|win64|arm64 WINE_DIR DORVANE_EXE [CASE...]
#        (only the named cases of the table below, each to a file and through a pipe, or
#        CASE:file or CASE:pipe only one way)
set -u
here=$(cd "$(dirname "$0")" && pwd)
run=$here/wine-run.sh
arch=$2
prefix=$3/prefix
exe=$4
only=("${@:5}")
"$run" "$arch" --check || exit
source "$here/../checks.sh"
sed 's/$/\r/' "$1" >"$tmp/expected"

# On Windows /rebo* names a path from the drive's root. Run from a drive whose root holds
# a folder "reboot", a runtime that expanded wildcards would hand the program /reboot.
drive=$tmp/drive
mkdir -p "$drive/reboot"
ln -sfn "$drive" "$prefix/dosdevices/r:"
trap 'rm -f "$prefix/dosdevices/r:"; rm -rf "$tmp"' EXIT

wanted() { [ ${#only[@]} = 0 ] || [[ " ${only[*]} " == *" $1 "* ]] || [[ " ${only[*]} " == *" $1:$2 "* ]]; }

usage() {  # file|pipe NAME [WORD...]: stdout into a file, or through a pipe into one
  local mode=$1 name=$2 status
  shift 2
  wanted "$name" "$mode" || return 0
  if [ "$mode" = file ]; then
    (cd "$drive" && "$run" "$arch" "$prefix" "$exe" "$@") >"$tmp/out" 2>"$tmp/err" </dev/null
    status=$?
  else
    (cd "$drive" && "$run" "$arch" "$prefix" "$exe" "$@") 2>"$tmp/err" </dev/null | cat >"$tmp/out"
    status=${PIPESTATUS[0]}
  fi
  verdict "$name ($mode)" "$status" 2 "$tmp/expected"
}

for mode in file pipe; do
  usage $mode no_arguments
  usage $mode question_mark '/?'
  usage $mode mixed_case /Reboot /Logoff
  usage $mode empty_word ''
  usage $mode wildcards '/rebo*' '/REBOOT*' '*'
done

finish
