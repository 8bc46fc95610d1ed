#!/usr/bin/env bash
# dorvane.exe must run on any Windows of its architecture as it is: a console program
# importing only DLLs every Windows has, small, hardened, whose resources carry the
# build's version and a well-formed asInvoker manifest. The unit-test exe, for its part,
# must not even import the real exit call.
# Every part of the toolchain linked into it is covered by the notices that ship with it.
# usage: standalone_test.sh OBJDUMP DORVANE_EXE UNIT_TEST_EXE|- VERSION win32|win64|arm64
#                           LINK_MAP NOTICES [SBOM]
# OBJDUMP is GNU's or LLVM's (which reads ARM64); the map is GNU ld's or lld's MSVC-style one.
set -u
objdump=$1 exe=$2 unit_tests=$3 version=$4 arch=$5 map=$6 notices=$7 sbom=${8:-}
max_bytes=20480
source "$(dirname "$0")/../checks.sh"
headers=$("$objdump" -p "$exe")

# What differs between them: the PE format, and the mitigations beyond the common
# DYNAMIC_BASE (0x40), NX_COMPAT (0x100) and TERMINAL_SERVER_AWARE (0x8000): NO_SEH
# (0x400) for the 32-bit exe, HIGH_ENTROPY_VA (0x20) for the 64-bit ones.
case $arch in
  win32) format=pei-i386 flags=8540 ;;
  win64) format=pei-x86-64 flags=8160 ;;
  arm64) format=coff-arm64 flags=8160 ;;
esac
# The COFF machine field, as release/contract.json has it for the architecture.
machine=$(printf %04x "$(jq -e --arg arch "$arch" '.architectures[$arch].pe_machine' \
  "$(dirname "$0")/../../release/contract.json")") || exit

imports=$(grep -oE 'DLL Name: .*' <<<"$headers" | cut -d' ' -f3- | tr '[:lower:]' '[:upper:]' | sort -u | tr '\n' ' ')
record "imports: $imports" "$([ "$imports" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] || echo "unexpected DLLs")"
# The SBOM shows them as Windows' own, not shipped: the DLLs inside its Windows component.
if [ -f "$sbom" ]; then
  listed=$(jq -r '.components[] | select(.type == "operating-system") | .components[].name' "$sbom" | sort | tr '\n' ' ')
  record "the SBOM's Windows DLLs are the imports" "$([ "$listed" = "$imports" ] || echo "the SBOM lists $listed")"
else
  echo "left out: the SBOM's DLLs (no SBOM at ${sbom:-(none)}; the package step makes it)"
fi

# The calls themselves, bound by name to the system DLLs: what the program's own code
# imports from ADVAPI32 and USER32 is exactly the privilege and exit calls.
calls=$(awk '/DLL Name:/ { dll = toupper($3) }
             dll && (NF == 3 || NF == 2) && $1 ~ /^[0-9a-f]+$/ { print dll ":" $NF }' <<<"$headers" |
  grep -E '^(ADVAPI32|USER32)|:GetCurrentProcess$' | sort | tr '\n' ' ')
want_calls="ADVAPI32.DLL:AdjustTokenPrivileges ADVAPI32.DLL:LookupPrivilegeValueA ADVAPI32.DLL:OpenProcessToken KERNEL32.DLL:GetCurrentProcess USER32.DLL:ExitWindowsEx "
record "platform calls: $calls" "$([ "$calls" = "$want_calls" ] || echo "unexpected platform imports")"

# The COFF header, read from the file itself: the machine, and no link time (a time would
# make every build a different file).
pe=$(od -An -tu4 -j 60 -N 4 "$exe" | tr -d ' ')
have_machine=$(od -An -tx2 -j $((pe + 4)) -N 2 "$exe" | tr -d ' ')
stamp=$(od -An -tu4 -j $((pe + 8)) -N 4 "$exe" | tr -d ' ')
why=""
grep -q "file format $format\$" <<<"$headers" && grep -qE 'Subsystem\s+00000003' <<<"$headers" ||
  why="not a console program in $format"
[ "$have_machine" = "$machine" ] || why=$(why_not "$why" "machine 0x$have_machine, expected 0x$machine")
[ "$stamp" = 0 ] || why=$(why_not "$why" "link time $stamp, expected none")
record "$format console program, machine 0x$have_machine, no link time" "$why"

# The header's checksum is the file's, as Windows and the signing tools count it: GNU ld
# writes it, and toolchain/pe-checksum.py does for lld's exe.
have_sum=$(grep -oE 'CheckSum\s+[0-9a-f]+' <<<"$headers" | grep -oE '[0-9a-f]+$')
want_sum=$(/usr/bin/python3 -I -c 'import sys, pefile
print("%08x" % pefile.PE(sys.argv[1], fast_load=True).generate_checksum())' "$exe" 2>&1)
record "header checksum ${have_sum:-none}, the file's" \
  "$([ "$have_sum" = "$want_sum" ] || echo "it says ${have_sum:-nothing}, the file's is $want_sum")"

size=$(stat -c %s "$exe")
record "size $size bytes (at most $max_bytes)" "$([ "$size" -le "$max_bytes" ] || echo "more than $max_bytes")"

have=$(sed -n 's/^DllCharacteristics\s*0*\([0-9a-f]*\)$/\1/p' <<<"$headers")
why=""
[ "$have" = "$flags" ] || why="DllCharacteristics $have, expected $flags"
# ASLR needs the relocations to move the image: a stripped .reloc would leave it fixed.
grep -qE 'Base Relocation Directory \[\.reloc\]' <<<"$headers" &&
  ! sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -q 'relocations stripped' ||
  why=$(why_not "$why" "no relocations for ASLR")
if [ "$arch" = win32 ]; then
  # NO_SEH must be true: no code may build an exception registration frame at fs:0.
  "$objdump" -d "$exe" | grep -qE '%fs:0x0\b' && why=$(why_not "$why" "code touches the fs:0 SEH chain")
fi
record "DllCharacteristics $have, relocations kept" "$why"

# The version resource's strings are UTF-16: each value follows its key.
resource=$(strings -a -el "$exe" | tr '\n' '|')
want="FileVersion|$version|*OriginalFilename|dorvane.exe|ProductName|DORVANE|ProductVersion|$version|"
why=""
# shellcheck disable=SC2053 # want is a pattern
[[ $resource == *$want* ]] || why="version strings missing: $resource"
# The numbers Explorer and installers compare: VS_FIXEDFILEINFO, after its signature
# 0xFEEF04BD and struct version, holds FileVersion then ProductVersion as MS, LS words.
IFS=. read -r major minor patch <<<"$version"
fixed=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$exe" | head -1 | cut -d: -f1)
if [ -z "$fixed" ]; then
  why=$(why_not "$why" "no VS_FIXEDFILEINFO")
else
  numbers=$(od -An -tu2 -j $((fixed + 8)) -N 16 "$exe" | tr -s ' ' | sed 's/^ //')
  # Each 32-bit word is little-endian: its low half (minor, or build) comes first.
  want_numbers="$minor $major 0 $patch $minor $major 0 $patch"
  [ "$numbers" = "$want_numbers" ] || why=$(why_not "$why" "numeric versions '$numbers', expected '$want_numbers'")
fi
record "version resource $version, in strings and numbers" "$why"

# The embedded manifest, as Windows will parse it: a malformed one stops the exe starting.
start=$(LC_ALL=C grep -obUa '<?xml' "$exe" | head -1 | cut -d: -f1)
end=$(LC_ALL=C grep -obUa '</assembly>' "$exe" | head -1 | cut -d: -f1)
why=""
if [ -z "$start" ] || [ -z "$end" ]; then
  why="no manifest"
else
  tail -c +$((start + 1)) "$exe" | head -c $((end + 11 - start)) >"$tmp/manifest.xml"
  xpath() { xmllint --xpath "$1" "$tmp/manifest.xml" 2>/dev/null; }
  if ! xmllint --noout "$tmp/manifest.xml" 2>"$tmp/xmllint"; then
    why="not well-formed: $(head -1 "$tmp/xmllint")"
  else
    [ "$(xpath 'string(//*[local-name()="requestedExecutionLevel"]/@level)')" = asInvoker ] ||
      why="not asInvoker"
    [ "$(xpath 'count(//*[local-name()="supportedOS"])')" = 5 ] ||
      why=$(why_not "$why" "not the five supportedOS entries, Vista to 10/11")
  fi
fi
record "manifest: well-formed, asInvoker, supportedOS Vista to 10/11" "$why"

# The linker's map says which toolchain files put code or data into the exe.
linked=$(map_linked "$map" | sed 's|.*/||' | sort -u | tr '\n' ' ')
covered=$(tr -d '\r' <"$notices" | sed -n 's/^Linked in: //p' | tr ' ' '\n' | grep . | sort -u | tr '\n' ' ')
why=""
[ -n "$linked" ] || why="no toolchain files in the link map"
for file in $linked; do
  [[ " $covered" == *" $file "* ]] || why=$(why_not "$why" "$file is linked in, but not in the notices")
done
for file in $covered; do
  [[ " $linked" == *" $file "* ]] || why=$(why_not "$why" "the notices name $file, which is not linked in")
done
record "notices cover what is linked in: $linked" "$why"

if [ "$unit_tests" = - ]; then
  echo "no unit-test exe for $arch (no C++ runtime for it here)"
else
  record "the unit tests do not import ExitWindowsEx" \
    "$("$objdump" -p "$unit_tests" | grep -qE '\<ExitWindowsEx\>' && echo "they import the real ExitWindowsEx")"
fi

finish
