"""The exe's PE header as the build makes it: the machine of its architecture, a right
checksum, and a certificate table that is one WIN_CERTIFICATE, the file's last bytes,
padded to 8 bytes with zeros, as osslsigncode writes it."""
import struct

from .report import Refused, q

try:
    import pefile
except ImportError:
    pefile = None

try:
    from asn1crypto import parser as asn1_parser
except ImportError:
    asn1_parser = None


def header(exe, machine, arch, label, report, policy):
    """Checks the header; returns the Authenticode PKCS#7 (DER), None when there is no
    certificate table, or a Refused when the table is not as osslsigncode writes it."""
    if pefile is None:
        policy.unchecked(report, f"{label}'s PE header", "Python pefile: Debian's python3-pefile", origin=False)
        return Refused("its certificate table cannot be read here (no Python pefile: Debian's python3-pefile)")
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        found = pe.FILE_HEADER.Machine
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        at, size = security.VirtualAddress, security.Size
        checksum, right = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
        pe.close()
    except (pefile.PEFormatError, AttributeError, IndexError, struct.error) as error:
        report.check(f"{label} is a Windows program", q(str(error)[:200]))
        return None
    report.check(f"{label} is a PE for {arch}", "" if found == machine else f"its machine is 0x{found:04x}, not 0x{machine:04x}")
    report.check(f"{label}: its PE checksum is right",
                 "" if checksum == right else f"it says 0x{checksum:08x}, the file's is 0x{right:08x}")
    if size == 0 and at == 0:
        return None
    if at % 8 or at + size != len(exe) or size < 8:
        return Refused("damaged: its certificate table is not the file's last bytes")
    length, revision, kind = struct.unpack_from("<IHH", exe, at)
    if revision != 0x200 or kind != 2 or not 8 < length <= size:
        return Refused("damaged: its certificate table holds no PKCS#7 WIN_CERTIFICATE")
    if (length + 7) & ~7 != size or exe[at + length:].strip(b"\0"):
        return Refused("its certificate table holds more than one WIN_CERTIFICATE, or bytes past its alignment")
    der = exe[at + 8:at + length]
    if asn1_parser is None:
        return Refused("its signature cannot be read here (no Python asn1crypto)")
    try:
        _, _, _, head, contents, trailer = asn1_parser.parse(der)
    except ValueError as error:
        return Refused(f"damaged: {q(str(error)[:120])}")
    used = len(head) + len(contents) + len(trailer)
    # osslsigncode pads the PKCS#7 itself to 8 bytes: zeros, fewer than 8.
    if len(der) - used >= 8 or der[used:].strip(b"\0"):
        return Refused("its certificate table holds bytes past its PKCS#7 beyond the 8-byte alignment")
    return der[:used]
