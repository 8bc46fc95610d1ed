#!/usr/bin/env bash
# dorvane.exe must run on any Windows as it is: a 32-bit console program importing only
# DLLs every Windows has, and small, whose resources carry the build's version and an
# asInvoker manifest. The unit-test exe, for its part, must not even import the real exit
# call.
# usage: standalone_test.sh OBJDUMP DORVANE_EXE UNIT_TEST_EXE VERSION
set -u
objdump=$1
exe=$2
unit_tests=$3
version=$4
strings=${objdump%objdump}strings
max_bytes=20480
source "$(dirname "$0")/../checks.sh"
headers=$("$objdump" -p "$exe")

imports=$(grep -oE 'DLL Name: .*' <<<"$headers" | cut -d' ' -f3- | tr '[:lower:]' '[:upper:]' | sort -u | tr '\n' ' ')
why=""
[ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] || why="unexpected DLLs"
record "imports: $imports" "$why"

why=""
grep -q 'file format pei-i386' <<<"$headers" && grep -qE 'Subsystem\s+00000003' <<<"$headers" ||
  why="not a PE32 console program for i386"
record "PE32 console program for i386" "$why"

size=$(stat -c %s "$exe")
why=""
[ "$size" -le "$max_bytes" ] || why="more than $max_bytes"
record "size $size bytes (at most $max_bytes)" "$why"

# The version resource's strings are UTF-16: each value follows its key.
resource=$("$strings" -el "$exe" | tr '\n' '|')
want="FileVersion|$version|*OriginalFilename|dorvane.exe|ProductName|DORVANE|ProductVersion|$version|"
why=""
# shellcheck disable=SC2053 # want is a pattern
[[ $resource == *$want* ]] && "$strings" "$exe" | grep -q 'level="asInvoker"' ||
  why="version resource or manifest missing: $resource"
record "version resource $version and asInvoker manifest" "$why"

why=""
"$objdump" -p "$unit_tests" | grep -qE '\<ExitWindowsEx\>' && why="they import the real ExitWindowsEx"
record "the unit tests do not import ExitWindowsEx" "$why"

finish
