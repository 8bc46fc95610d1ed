#!/usr/bin/env bash
# Writes a PE image's checksum into its header, in place. lld leaves it 0; GNU ld and the
# signing tools fill it in, so without this the ARM64 exe, signed and unsigned again,
# would not be the exe that was built.
# usage: pe-checksum.sh FILE
set -euo pipefail
file=$1
pe=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' ')
# The optional header follows the 4-byte signature and the 20-byte file header; the
# checksum is its 64th byte on, for PE32 and PE32+ alike.
field=$((pe + 24 + 64))
# 16-bit words summed with the carry folded back in, the checksum field counted as 0, and
# the file's length added.
sum=$(od -An -v -tu2 -w2 "$file" | awk -v skip=$((field / 2)) -v size="$(stat -c %s "$file")" '
  NR - 1 != skip && NR - 1 != skip + 1 { s += $1; s = s % 65536 + int(s / 65536) }
  END { printf "%d\n", s % 65536 + int(s / 65536) + size }')
printf "$(printf '\\x%02x' $((sum & 255)) $((sum >> 8 & 255)) $((sum >> 16 & 255)) $((sum >> 24)))" |
  dd of="$file" bs=1 seek="$field" conv=notrunc status=none
