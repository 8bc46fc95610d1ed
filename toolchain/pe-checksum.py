"""Writes a PE image's checksum into its header, in place. lld leaves it 0; GNU ld and the
signing tools fill it in, so without this the ARM64 exe, signed and unsigned again, would
not be the exe that was built. The sum is pefile's (Debian's python3-pefile).

usage: /usr/bin/python3 -I pe-checksum.py FILE
"""
import struct
import sys

try:
    import pefile
except ImportError:
    sys.exit("pe-checksum.py: python3-pefile is missing; install it with: scripts/ensure-tools.sh arm64-toolchain")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pe-checksum.py FILE")
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as e:
        sys.exit(f"pe-checksum.py: {sys.argv[1]}: {e}")
    # The field is the optional header's 64th byte on, in PE32 and PE32+ alike; only its
    # four bytes are written, the rest of the file is left as the linker wrote it.
    field = pe.OPTIONAL_HEADER.get_file_offset() + 64
    checksum = pe.generate_checksum()
    with open(sys.argv[1], "r+b") as f:
        f.seek(field)
        f.write(struct.pack("<I", checksum))


if __name__ == "__main__":
    main()
