"""The ZIP as the verifier reads it: what a streaming reader and a central-directory reader
could see differently is refused, and what entries expand into is bounded before they are
parsed or inflated."""
import io
import struct
import unittest
import zipfile
import zlib

import support

from verify import archive, limits, report

SOURCE = support.SOURCE  # (support puts the package on the path)
BASE = "dorvane-1.0.0-win64"
MEMBERS = ["dorvane.exe", "README.txt", "LICENSE", "THIRD-PARTY-NOTICES.txt"]


def build_zip(contents=None, folder=True):
    """A ZIP laid out as the build lays one out: the folder, then the members, deflated."""
    contents = contents or {name: (name * 50).encode() for name in MEMBERS}
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as made:
        if folder:
            info = zipfile.ZipInfo(BASE + "/", (2026, 1, 1, 0, 0, 0))
            info.create_system, info.external_attr = 3, (0o40755 << 16) | 0x10
            made.writestr(info, b"")
        for name, data in contents.items():
            info = zipfile.ZipInfo(f"{BASE}/{name}", (2026, 1, 1, 0, 0, 0))
            info.create_system, info.external_attr, info.compress_type = 3, 0o100644 << 16, zipfile.ZIP_DEFLATED
            made.writestr(info, data)
    return out.getvalue()


def entries_of(data):
    """(local header offset, central entry offset) of each entry, in order."""
    end = len(data) - 22
    count, _, start = struct.unpack_from("<HII", data, end + 10)
    found, at = [], start
    for _ in range(count):
        found.append((struct.unpack_from("<I", data, at + 42)[0], at))
        at += 46 + sum(struct.unpack_from("<HHH", data, at + 28))
    return found


def name_at(data, central):
    size = struct.unpack_from("<H", data, central + 28)[0]
    return data[central + 46:central + 46 + size].decode()


def hide_after_exe(data):
    """A fake data descriptor and a stored version.dll after the exe's deflate stream, inside
    its compressed size, which grows to cover them (local header and central directory)."""
    body = b"MZ" + bytes(64)
    name = (BASE + "/version.dll").encode()
    hidden = struct.pack("<4sIII", b"PK\x07\x08", 0, 0, 0) + struct.pack(
        "<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, zlib.crc32(body), len(body), len(body), len(name), 0) + name + body
    local, central = [(at, c) for at, c in entries_of(data) if name_at(data, c) == BASE + "/dorvane.exe"][0]
    name_size, extra_size = struct.unpack_from("<HH", data, local + 26)
    end_of_data = local + 30 + name_size + extra_size + struct.unpack_from("<I", data, local + 18)[0]
    grown = bytearray(data[:end_of_data] + hidden + data[end_of_data:])
    shift = len(hidden)
    struct.pack_into("<I", grown, local + 18, struct.unpack_from("<I", grown, local + 18)[0] + shift)
    central += shift
    struct.pack_into("<I", grown, central + 20, struct.unpack_from("<I", grown, central + 20)[0] + shift)
    end = len(grown) - 22
    count, size, start = struct.unpack_from("<HII", grown, end + 10)
    struct.pack_into("<I", grown, end + 16, start + shift)
    at = start + shift
    for _ in range(count):
        offset = struct.unpack_from("<I", grown, at + 42)[0]
        if offset > local:
            struct.pack_into("<I", grown, at + 42, offset + shift)
        at += 46 + sum(struct.unpack_from("<HHH", grown, at + 28))
    return bytes(grown)


def prepend(data):
    body, name = b"MZ" + bytes(64), (BASE + "/version.dll").encode()
    prefix = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, zlib.crc32(body), len(body), len(body),
                         len(name), 0) + name + body
    moved = bytearray(data)
    end = len(moved) - 22
    count, _, start = struct.unpack_from("<HII", moved, end + 10)
    at = start
    for _ in range(count):
        struct.pack_into("<I", moved, at + 42, struct.unpack_from("<I", moved, at + 42)[0] + len(prefix))
        at += 46 + sum(struct.unpack_from("<HHH", moved, at + 28))
    struct.pack_into("<I", moved, end + 16, start + len(prefix))
    return prefix + bytes(moved)


def streamed(contents, stored=(), descriptor=b"PK\x07\x08", folder=None):
    """A ZIP as the build's package step writes one: no folder entry, each file deflated with
    its sizes in a data descriptor after its data (zero in its local header). The members named
    in STORED are stored instead, their sizes in a descriptor too. DESCRIPTOR: each
    descriptor's signature (b"" for none). FOLDER: the folder entry's stored bytes, if any."""
    local, central = b"", b""
    entries = ([(BASE + "/", folder, 0, 0o40755)] if folder is not None else []) + [
        (f"{BASE}/{name}", data, 0 if name in stored else 8, 0o100644) for name, data in contents.items()]
    for name, data, method, mode in entries:
        packed = data if method == 0 else zlib.compress(data, 9)[2:-4]
        crc, flags = zlib.crc32(data), 0 if name.endswith("/") else 8
        raw = name.encode()
        header_sizes = (crc, len(packed), len(data)) if not flags else (0, 0, 0)
        offset = len(local)
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x5C21, *header_sizes, len(raw), 0)
        local += raw + packed
        if flags:
            local += descriptor + struct.pack("<III", crc, len(packed), len(data))
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x314, 20, flags, method, 0, 0x5C21, crc, len(packed),
                               len(data), len(raw), 0, 0, 0, 0, mode << 16, offset) + raw
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                                         len(local), 0)


def another_exe_when_streamed(exe):
    """The exe stored, its sizes after it: its data is the exe, then a data descriptor that
    fits it and a local header of the same name holding another program. Read by name, the
    exe with bytes after it; read as a stream, the exe, then the other program in its place."""
    other = b"MZ another program " + bytes(200)
    name = (BASE + "/dorvane.exe").encode()
    hidden = (b"PK\x07\x08" + struct.pack("<III", zlib.crc32(exe), len(exe), len(exe))
              + struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x5C21, zlib.crc32(other), len(other), len(other),
                            len(name), 0) + name + other)
    return streamed({**{n: (n * 50).encode() for n in MEMBERS}, "dorvane.exe": exe + hidden}, stored={"dorvane.exe"})


def counted_end(count):
    """A ZIP64 end record that counts COUNT entries, its locator and a plain end record that
    says 0xFFFF: what a ZIP of a million entries ends with."""
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, count * 46, 0)
    locator = struct.pack("<IIQI", 0x07064B50, 0, 0, 1)
    return record + locator + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)


class Read(unittest.TestCase):
    def read(self, data, inflated=None):
        bounds = limits.Limits().start()
        spent = [0]

        def spend(size):
            spent[0] += size
            if inflated is not None and spent[0] > inflated:
                raise report.Refused(f"past {inflated} bytes in all")
        checks, members = archive.read(data, BASE, MEMBERS, "dorvane.exe", bounds, spend)
        return [f"{name}: {why}" if why else name for name, why in checks], members

    def test_the_builds_shape_passes(self):
        checks, members = self.read(build_zip())
        self.assertIsNotNone(members, checks)
        self.assertEqual(sorted(members), sorted(MEMBERS))
        self.assertIsInstance(members["LICENSE"], archive.Digest)
        self.assertEqual(members["dorvane.exe"], b"dorvane.exe" * 50)

    def test_rows(self):
        good = build_zip()
        rows = [
            # a stored version.dll and a fake data descriptor after the exe's deflate stream,
            # inside its compressed size: a streaming reader unpacks five files
            ("hidden after the deflate stream", hide_after_exe(good), "something lies hidden after it"),
            # a ZIP64 end counting 1.25 million entries: refused before any is parsed
            ("a million entries", b"PK" + bytes(100) + counted_end(1_250_000), "counts 65535 entries"),
            ("bytes after the end record", good + b"\0", "does not end with the end of its central directory"),
            # a stored entry no central directory names, before the others, every offset moved
            ("an entry before the first", prepend(good), "does not follow the entry before it"),
            ("a member more", build_zip({**{n: b"x" for n in MEMBERS}, "version.dll": b"MZ"}),
             "it also holds dorvane-1.0.0-win64/version.dll"),
            ("the package step's layout: deflated, sizes in signed data descriptors",
             streamed({n: (n * 50).encode() for n in MEMBERS}), ""),
            ("the same with an empty folder entry", streamed({n: (n * 50).encode() for n in MEMBERS}, folder=b""), ""),
            # a streaming reader (libarchive from a pipe) ends the stored exe at the descriptor
            # inside it and unpacks the local header after it as dorvane.exe
            ("a stored exe that streams as another", another_exe_when_streamed(b"MZ" + bytes(300)),
             "dorvane-1.0.0-win64/dorvane.exe is stored, not deflated as the build writes its files, and its data "
             "holds a ZIP record (b'PK\\x07\\x08' at byte 302)"),
            ("a stored guide", streamed({n: (n * 50).encode() for n in MEMBERS}, stored={"README.txt"}),
             "dorvane-1.0.0-win64/README.txt is stored, not deflated as the build writes its files"),
            ("a folder entry holding data", streamed({n: b"x" for n in MEMBERS}, folder=b"MZ"),
             "dorvane-1.0.0-win64/ is a folder that holds data"),
            ("data descriptors without their signature", streamed({n: b"x" for n in MEMBERS}, descriptor=b""),
             "its data descriptor lacks its signature"),
        ]
        for what, data, words in rows:
            with self.subTest(what):
                checks, members = self.read(data)
                if not words:
                    self.assertIsNotNone(members, checks)
                    continue
                self.assertTrue(members is None, checks)
                self.assertTrue(any(words in line for line in checks), checks)

    def test_bounds(self):
        huge = build_zip({**{n: b"x" for n in MEMBERS}, "dorvane.exe": bytes(17 << 20)})
        checks, members = self.read(huge)
        self.assertTrue(members is None, checks)
        self.assertIn("declares 17825792 bytes, past 16 MiB", checks[-1])
        # The sizes lie: the headers say 100 bytes, the stream holds a MiB.
        lying = bytearray(build_zip({**{n: b"x" for n in MEMBERS}, "dorvane.exe": bytes(1 << 20)}))
        for local, central in entries_of(bytes(lying)):
            if name_at(bytes(lying), central) == BASE + "/dorvane.exe":
                struct.pack_into("<I", lying, local + 22, 100)
                struct.pack_into("<I", lying, central + 24, 100)
        checks, members = self.read(bytes(lying))
        self.assertTrue(members is None, checks)
        self.assertIn("inflates past its declared 100 bytes", checks[-1])
        # Every member within its own bound, the run's in all spent.
        checks, members = self.read(build_zip({n: bytes(1 << 20) for n in MEMBERS}), inflated=3 << 20)
        self.assertTrue(members is None, checks)
        self.assertIn("past 3145728 bytes in all", checks[-1])


if __name__ == "__main__":
    unittest.main()
