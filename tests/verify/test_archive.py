"""The ZIP as the verifier reads it: what a streaming reader and a central-directory reader
could see differently is refused, and what entries expand into is bounded before they are
parsed or inflated."""
import struct
import unittest
import zlib

import support

from verify import archive, contract, limits, release

SOURCE = support.SOURCE  # (support puts the package on the path)
BASE = "dorvane-1.0.0-win64"
MEMBERS = contract.members()


CONTENTS = {name: (name * 50).encode() for name in MEMBERS}  # each member's bytes in most rows
SMALL = {name: b"x" for name in MEMBERS}


def changed(member, **fields):
    """The build's ZIP with MEMBER's central directory FIELDS changed (see streamed())."""
    return streamed(CONTENTS, change={member: fields})


def stored_entry(name, body, date=0):
    """A local header of NAME with BODY stored after it, its sizes in the header."""
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, date, zlib.crc32(body), len(body), len(body),
                       len(name), 0) + name + body


def entries_of(data):
    """(local header offset, central entry offset) of each entry, in order."""
    end = len(data) - 22
    count, _, start = struct.unpack_from("<HII", data, end + 10)
    found, at = [], start
    for _ in range(count):
        found.append((struct.unpack_from("<I", data, at + 42)[0], at))
        at += 46 + sum(struct.unpack_from("<HHH", data, at + 28))
    return found


def hide_after_exe():
    """A fake data descriptor and a stored version.dll after the exe's deflate stream, inside
    its compressed size (central directory and data descriptor)."""
    hidden = struct.pack("<4sIII", b"PK\x07\x08", 0, 0, 0) + stored_entry((BASE + "/version.dll").encode(),
                                                                          b"MZ" + bytes(64))
    return streamed(CONTENTS, after={"dorvane.exe": hidden})


def prepend(data):
    prefix, moved = stored_entry((BASE + "/version.dll").encode(), b"MZ" + bytes(64)), bytearray(data)
    for offset, at in entries_of(data):
        struct.pack_into("<I", moved, at + 42, offset + len(prefix))
    struct.pack_into("<I", moved, len(moved) - 6, struct.unpack_from("<I", data, len(data) - 6)[0] + len(prefix))
    return prefix + bytes(moved)


EPOCH = 1796875264  # 2026-12-10 04:01:04 UTC


def streamed(contents, stored=(), descriptor=b"PK\x07\x08", folder=None, after=None, declared=None, change=None,
             extras=None, base=BASE):
    """A ZIP as the build's package step writes one: no folder entry, the members in byte
    order, each deflated with its sizes in a data descriptor after its data (zero in its
    local header), the build's extra fields and times (release/contract.json's "zip").
    STORED: members stored instead; DESCRIPTOR: each descriptor's signature (b"" for none);
    FOLDER: a folder entry's stored bytes, if any; AFTER: {member: bytes} put after its
    deflate stream, inside its compressed size; DECLARED: {member: the size its headers
    give}; CHANGE: {member: {central directory field: value}}; EXTRAS: {member: extra fields
    after the build's}; BASE: the folder the members are in."""
    spec = contract.load()["zip"]
    extra = archive.expected_extra(EPOCH)
    time, date = archive.dos_time(EPOCH)
    local, central = b"", b""
    entries = ([(base + "/", folder, 0, 0o40755)] if folder is not None else []) + [
        (f"{base}/{name}", contents[name], 0 if name in stored else 8,
         int(spec["modes"].get(name, spec["modes"]["*"]), 8)) for name in sorted(contents)]
    for name, data, method, mode in entries:
        member = name.split("/", 1)[1]
        packed = (data if method == 0 else zlib.compress(data, 9)[2:-4]) + (after or {}).get(member, b"")
        crc, flags = zlib.crc32(data), 0 if name.endswith("/") else 8
        size = (declared or {}).get(member, len(data))
        raw, own = name.encode(), extra + (extras or {}).get(member, b"")
        header_sizes = (crc, len(packed), size) if not flags else (0, 0, 0)
        offset = len(local)
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, time, date, *header_sizes, len(raw),
                             len(own))
        local += raw + own + packed
        if flags:
            local += descriptor + struct.pack("<III", crc, len(packed), size)
        fields = {"made": spec["version_made_by"], "need": 20, "flags": flags, "method": method, "time": time,
                  "date": date, "disk": 0, "internal": 0, "external": mode << 16, **(change or {}).get(member, {})}
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, fields["made"], fields["need"], fields["flags"],
                               fields["method"], fields["time"], fields["date"], crc, len(packed), size, len(raw),
                               len(own), 0, fields["disk"], fields["internal"], fields["external"], offset)
        central += raw + own
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                                         len(local), 0)


def another_exe_when_streamed(exe):
    """The exe stored, its sizes after it: its data is the exe, then a data descriptor that
    fits it and a local header of the same name holding another program. Read by name, the
    exe with bytes after it; read as a stream, the exe, then the other program in its place."""
    other = b"MZ another program " + bytes(200)
    name = (BASE + "/dorvane.exe").encode()
    hidden = b"PK\x07\x08" + struct.pack("<III", zlib.crc32(exe), len(exe), len(exe))
    hidden += stored_entry(name, other, 0x5C21)
    return streamed({**CONTENTS, "dorvane.exe": exe + hidden}, stored={"dorvane.exe"})


def unicode_path(member):
    target = (BASE + "/version.dll").encode()
    return struct.pack("<HHBI", 0x7075, 5 + len(target), 1, zlib.crc32(f"{BASE}/{member}".encode())) + target


def local_size(data):
    """DATA with its first entry's local header giving an uncompressed size of 1."""
    return data[:22] + struct.pack("<I", 1) + data[26:]


def counted_end(count):
    """A ZIP64 end record that counts COUNT entries, its locator and a plain end record that
    says 0xFFFF: what a ZIP of a million entries ends with."""
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, count * 46, 0)
    locator = struct.pack("<IIQI", 0x07064B50, 0, 0, 1)
    return record + locator + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)


class Read(unittest.TestCase):
    def read(self, data):
        """(the checks, the members) of one ZIP read alone: the run's bound in all is
        test_the_folders_packages_inflate_within_one_bound's."""
        checks, members = archive.read(data, BASE, MEMBERS, "dorvane.exe", limits.Limits().start(), lambda size: None)
        return [f"{name}: {why}" if why else name for name, why in checks], members

    def test_the_builds_shape_passes(self):
        checks, members = self.read(streamed(CONTENTS))
        self.assertIsNotNone(members, checks)
        self.assertEqual(sorted(members), sorted(MEMBERS))
        self.assertIsInstance(members["LICENSE"], archive.Digest)
        self.assertEqual(members["dorvane.exe"], b"dorvane.exe" * 50)

    def test_rows(self):
        good, entry = streamed(CONTENTS), "its central directory entry's "
        rows = [
            # a stored version.dll and a fake data descriptor after the exe's deflate stream,
            # inside its compressed size: a streaming reader unpacks five files
            ("hidden after the deflate stream", hide_after_exe(), "something lies hidden after it"),
            # a ZIP64 end counting 1.25 million entries: refused before any is parsed
            ("a million entries", b"PK" + bytes(100) + counted_end(1_250_000), "counts 65535 entries"),
            ("bytes after the end record", good + b"\0", "does not end with the end of its central directory"),
            # a stored entry no central directory names, before the others, every offset moved
            ("an entry before the first", prepend(good), "does not follow the entry before it"),
            ("a member more", streamed({**SMALL, "version.dll": b"MZ"}), f"it also holds {BASE}/version.dll"),
            ("the same with an empty folder entry", streamed(CONTENTS, folder=b""),
             "dorvane-1.0.0-win64/ is a folder entry: the build writes none"),
            # every field the build writes, compared: unzip -a unpacks an exe marked as text as another
            ("the exe marked as text (internal attributes)", changed("dorvane.exe", internal=1),
             f"dorvane-1.0.0-win64/dorvane.exe: {entry}internal attributes is 0x1, the build writes 0x0"),
            ("a text file made executable", changed("README.txt", external=0o100755 << 16),
             f"README.txt: {entry}external attributes is 0x81ed0000, the build writes 0x81a40000"),
            ("made by another system", changed("LICENSE", made=0x014), f"{entry}version made by is 0x14"),
            ("another version needed", changed("LICENSE", need=45), f"{entry}version needed is 0x2d"),
            ("a flag more (UTF-8 names)", changed("LICENSE", flags=0x808), f"{entry}flags is 0x808"),
            ("another date", changed("LICENSE", date=0x5d8b), f"{entry}date is 0x5d8b"),
            ("on another disk", changed("LICENSE", disk=1), f"{entry}first disk is 0x1"),
            # a streaming reader (libarchive from a pipe) ends the stored exe at the descriptor
            # inside it and unpacks the local header after it as dorvane.exe
            ("a stored exe that streams as another", another_exe_when_streamed(b"MZ" + bytes(300)),
             "dorvane-1.0.0-win64/dorvane.exe is stored, not deflated as the build writes its files, and its data "
             "holds a ZIP record (b'PK\\x07\\x08' at byte 302)"),
            ("a stored guide", streamed(CONTENTS, stored={"README.txt"}),
             "dorvane-1.0.0-win64/README.txt is stored, not deflated as the build writes its files"),
            ("a folder entry holding data", streamed(SMALL, folder=b"MZ"),
             "dorvane-1.0.0-win64/ is a folder entry: the build writes none"),
            ("data descriptors without their signature", streamed(SMALL, descriptor=b""),
             "its data descriptor lacks its signature"),
            # an Info-ZIP Unicode Path field naming LICENSE version.dll for extractors that honour it
            ("a Unicode path field", streamed(SMALL, extras={"LICENSE": unicode_path("LICENSE")}),
             f"{BASE}/LICENSE carries extra fields 0x5455, 0x7875, 0x7075: the build writes only"),
            ("a symbolic link", streamed(SMALL, change={"LICENSE": {"external": 0o120777 << 16}}),
             f"{BASE}/LICENSE is not a regular file (mode 120777)"),
            ("a local header's size not the central directory's", local_size(streamed(SMALL)),
             f"{BASE}/LICENSE: its sizes or CRC differ between its local header and the central directory"),
        ]
        for what, data, words in rows:
            with self.subTest(what):
                checks, members = self.read(data)
                self.assertTrue(members is None, checks)
                self.assertTrue(any(words in line for line in checks), checks)

    def test_bounds(self):
        huge = streamed({**SMALL, "dorvane.exe": bytes(17 << 20)})
        checks, members = self.read(huge)
        self.assertTrue(members is None, checks)
        self.assertIn("declares 17825792 bytes, past 16 MiB", checks[-1])
        # The sizes lie: the headers say 100 bytes, the stream holds a MiB.
        lying = streamed({**SMALL, "dorvane.exe": bytes(1 << 20)}, declared={"dorvane.exe": 100})
        checks, members = self.read(bytes(lying))
        self.assertTrue(members is None, checks)
        self.assertIn("inflates past its declared 100 bytes", checks[-1])

    def test_the_folders_packages_inflate_within_one_bound(self):
        # Versions' ZIPs each within every bound of its own, past the run's in all.
        bounds = limits.Limits().start()
        bounds.inflated = 5 << 20
        spend = release.spender(bounds)
        for number in range(3):
            base = f"dorvane-0.0{number}-win64"
            checks, members = archive.read(streamed({n: bytes(1 << 20) for n in MEMBERS}, base=base), base, MEMBERS,
                                           "dorvane.exe", bounds, spend)
        self.assertIsNone(members, checks)
        self.assertIn("the folder's ZIPs and MSIs inflate past 5 MiB in all: not unpacked further", checks[-1][1])


if __name__ == "__main__":
    unittest.main()
