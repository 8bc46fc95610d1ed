#!/usr/bin/env bash
# dorvane.exe must run on any Windows as it is: a 32-bit console program importing only
# DLLs every Windows has, and small.
# The unit-test exe, for its part, must not even import the real exit call.
# Its resources carry the build's version and an asInvoker manifest.
# usage: standalone_test.sh OBJDUMP DORVANE_EXE UNIT_TEST_EXE VERSION
set -u
objdump=$1
exe=$2
unit_tests=$3
version=$4
strings=${objdump%objdump}strings
max_bytes=20480
failed=0
headers=$("$objdump" -p "$exe")

imports=$(grep -oE 'DLL Name: .*' <<<"$headers" | cut -d' ' -f3- | tr '[:lower:]' '[:upper:]' | sort -u | tr '\n' ' ')
if [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ]; then
  echo "ok   imports: $imports"
else
  echo "FAIL imports: $imports"
  failed=1
fi

if grep -q 'file format pei-i386' <<<"$headers" && grep -qE 'Subsystem\s+00000003' <<<"$headers"; then
  echo "ok   PE32 console program for i386"
else
  echo "FAIL not a PE32 console program for i386"
  failed=1
fi

size=$(stat -c %s "$exe")
if [ "$size" -le "$max_bytes" ]; then
  echo "ok   size $size bytes (at most $max_bytes)"
else
  echo "FAIL size $size bytes, more than $max_bytes"
  failed=1
fi
# The version resource's strings are UTF-16: each value follows its key.
resource=$("$strings" -el "$exe" | tr '\n' '|')
want="FileVersion|$version|*OriginalFilename|dorvane.exe|ProductName|DORVANE|ProductVersion|$version|"
# shellcheck disable=SC2053 # want is a pattern
if [[ $resource == *$want* ]] && "$strings" "$exe" | grep -q 'level="asInvoker"'; then
  echo "ok   version resource $version and asInvoker manifest"
else
  echo "FAIL version resource or manifest missing: $resource"
  failed=1
fi

if "$objdump" -p "$unit_tests" | grep -qE '\<ExitWindowsEx\>'; then
  echo "FAIL the unit tests import the real ExitWindowsEx"
  failed=1
else
  echo "ok   the unit tests do not import ExitWindowsEx"
fi
exit $failed
