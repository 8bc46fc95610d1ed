"""The MSI against the contract, every row, value, condition, attribute and summary field,
and libmsi kept in a child process: a reader that crashes, loops, grows or hangs is a
failure with its reason, never a verdict."""
import concurrent.futures
import io
import os
import shutil
import struct
import subprocess
import time
import unittest
import zipfile

import support

import make_msi
from verify import authenticode, cfb, contract, installer, msi

ARCH, VERSION, EPOCH = "win64", "1.0.0", 1767225600
FILES = {name: name.encode() * 7 for name in contract.members()}


def genuine(change=None):
    """The MSI as the build's reads, CHANGE(it) made first."""
    found = contract.msi_expected(ARCH, VERSION, EPOCH, FILES)
    if change:
        change(found)
    return found


def edit(table, change):
    """The genuine MSI with CHANGE(rows, columns) applied to TABLE's rows."""
    def changing(found):
        entry = found["tables"][table]
        change(entry["rows"], [name for name, _ in entry["columns"]])
    return genuine(changing)


def cell(table, key, column, value, by=None):
    """The genuine MSI with COLUMN set to VALUE in the row of TABLE whose column BY (the
    table's own name unless given) is KEY."""
    def change(rows, columns):
        for row in rows:
            if row[columns.index(by or table)] == key:
                row[columns.index(column)] = value
    return edit(table, change)


def summary(**fields):
    return genuine(lambda found: found["summary"].update(fields))


class Tables(unittest.TestCase):
    rows = [
        # (what is planted, the MSI as read, words of the refusal before unpacking[, once the files are there])
        ("the build's MSI", genuine(), ""),
        # whichever release of msitools made it (a Debian point release), named as msitools names itself
        ("made by msitools 0.101", summary(appname="msitools 0.101"), ""),
        ("made by msitools 0.103.1", summary(appname="msitools 0.103.1"), ""),
        # another package code (it covers the files' bytes): not known before unpacking
        ("another package code", summary(uuid="{00000000-0000-0000-0000-000000000000}"), "", "summary uuid"),
        ("an Upgrade row that removes another product",
         edit("Upgrade", lambda rows, _: rows.append(["{11111111-2222-3333-4444-555555555555}", None, None, None, 256,
                                                       None, "OTHERPRODUCTS"])), "table Upgrade's rows differ"),
        ("a launch condition sending the user to a download",
         cell("LaunchCondition", "NOT WIX_DOWNGRADE_DETECTED", "Description",
              "Get the new version at https://example.invalid/", by="Condition"), "https://example.invalid/"),
        ("dorvane.exe not compressed: taken from beside the MSI", cell("File", "dorvane.exe", "Attributes", 8192),
         "table File's rows differ"),
        ("InstallFiles conditioned to 0", cell("InstallExecuteSequence", "InstallFiles", "Condition", "0", by="Action"),
         "table InstallExecuteSequence's rows differ"),
        ("a permanent component", cell("Component", "Program", "Attributes", 256 | 16), "table Component's rows differ"),
        ("another Manufacturer", cell("Property", "Manufacturer", "Value", "Someone Else"), "Someone Else"),
        ("another template", summary(template="Intel;1033"), "summary template \"Intel;1033\""),
        ("another author", summary(author="Someone Else"), "summary author"),
        ("made by another program", summary(appname="Windows Installer XML Toolset (3.11)"), "summary appname"),
        ("a deferred action that adds a user", edit("CustomAction", lambda rows, _: rows.append(
            ["AddUser", 3106, "SystemFolder", "net.exe user helper P4ss /add", None])),
         'table CustomAction\'s rows differ: not the build\'s: ["AddUser", 3106, "SystemFolder", "net.exe user helper'),
        ("a Run key", edit("Registry", lambda rows, _: rows.append(
            ["Run", 2, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "helper", "[INSTALLDIR]dorvane.exe",
             "Program"])), "table Registry's rows differ"),
        ("its folder first on PATH", cell("Environment", "PATH", "Value", "[INSTALLDIR];[~]"),
         "table Environment's rows differ"),
        ("a folder named ..", cell("Directory", "INSTALLDIR", "DefaultDir", "..|.."),
         'table Directory\'s rows differ: not the build\'s: ["INSTALLDIR", "ProgramFiles64Folder", "..|.."]'),
        ("the folders in a loop", cell("Directory", "TARGETDIR", "Directory_Parent", "INSTALLDIR"),
         "table Directory's rows differ"),
        ("a table more", genuine(lambda found: found["tables"].update(Binary2=found["tables"]["Binary"])),
         "table \"Binary2\" is extra"),
        ("a stream more", genuine(lambda found: found.update(streams=sorted(found["streams"] + ["helper"]))), "streams"),
    ]

    def test_rows(self):
        for what, found, words, *unpacked in self.rows:
            with self.subTest(what):
                for files, expected in ((None, words), (FILES, (unpacked or [words])[0])):
                    why = installer.differences(found, ARCH, VERSION, EPOCH, files)
                    self.assertIn(expected, why) if expected else self.assertEqual(why, "")
        self.assertIn("table File's rows differ",
                      installer.differences(genuine(), ARCH, VERSION, EPOCH, dict(FILES, LICENSE=b"other")))

    def test_commit_time_from_the_summary(self):
        self.assertEqual(installer.epoch_of({"created_tm": contract.filetime(EPOCH)}), EPOCH)
        for bad in (contract.filetime(EPOCH) + 1, "1", None, True):
            self.assertIsNone(installer.epoch_of({"created_tm": bad}))


def made_msi(test, streams=None):
    """The contract's tables, written by msibuild into TEST's folder as the build writes them:
    a compound file as the MSI tools write one. STREAMS: {name: bytes} added to it."""
    values = contract.msi_values(ARCH, VERSION, EPOCH, FILES)
    imports = []
    for name, table in contract.load()["msi"]["tables"].items():
        imports += ["-i", test.write(name + ".idt", make_msi.idt(name, table, values))]
    for number, (name, data) in enumerate((streams or {}).items()):
        imports += ["-a", name, test.write(f"stream{number}.bin", data)]
    path = test.path("made.msi")
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["msibuild", path] + imports, check=True, capture_output=True)
    return path


def entry_set(data, name, field, value):
    """DATA with the directory entry named NAME's FIELD set to VALUE: its type (66; 1 a storage,
    where a nested package or an embedded transform lives), its tree links (68 left, 72 right,
    76 child; 0xFFFFFFFF none)."""
    at = data.index(name.encode("utf-16-le") + b"\0\0") + field
    value = value if isinstance(value, bytes) else struct.pack("<I", value)
    return data[:at] + value + data[at + len(value):]


def header_set(data, offset, *values):
    """DATA with the header's 32-bit fields from OFFSET on set to VALUES."""
    changed = bytearray(data)
    struct.pack_into(f"<{len(values)}I", changed, offset, *values)
    return bytes(changed)


def difat_loop(data):
    """Two DIFAT sectors named, the first (the file's last sector) naming itself as the next."""
    last = len(data) // 512 - 2
    changed = bytearray(header_set(data, 0x44, last, 2))
    struct.pack_into("<I", changed, len(changed) - 4, last)
    return bytes(changed)


@unittest.skipUnless(shutil.which("msibuild"), "no msibuild (msitools)")
class CompoundFile(support.Scratch):
    def test_rows(self):
        made = self.read(made_msi(self))
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w") as appended:
            appended.writestr("dorvane.exe", b"MZ another program")
        zipped = out.getvalue()
        rows = [
            # (what, the file, words of the refusal, or "" for none)
            ("the MSI msibuild writes", made, ""),
            # a reader that looks for a ZIP's end finds one: the MSI's tables never show it
            ("a ZIP appended", made + zipped,
             f"{len(zipped)} bytes lie past its compound file's last allocated sector (at byte {len(made)})"),
            ("a byte appended", made + b"\0", "1 bytes lie past"),
            ("its last sector cut off", made[:-512], "past the file's"),
            ("no compound file", b"PK\x03\x04" + made[4:], "not a compound file"),
            ("version 3 with 4096-byte sectors", made[:0x1E] + struct.pack("<H", 12) + made[0x20:],
             "not a version 3 or 4 one"),
            ("a header counting a million FAT sectors", header_set(made, 0x2C, 1 << 20), "its header counts 1048576 FAT"),
            ("a FAT sector past the end", header_set(made, 0x4C, 1 << 30), "names sector 1073741824, past"),
            ("a DIFAT chain that loops", difat_loop(made), "its DIFAT chain ends early or loops"),
        ]
        for what, data, words in rows:
            with self.subTest(what):
                why = cfb.past_the_end(data)
                self.assertIn(words, why) if words else self.assertEqual(why, "")

    def test_every_stream_and_storage_accounted_for(self):
        signature, extended = contract.load()["msi"]["signature_streams"]
        tables, cabinet = list(contract.load()["msi"]["tables"]), contract.load()["msi"]["cabinet"]

        def made(**streams):
            return self.read(made_msi(self, {cabinet: b"MSCF", **streams}))
        genuine = made()
        rows = [
            # (what, the MSI, words of the refusal of its streams, of its signature, or "" for none)
            ("the build's streams", genuine, "", None),
            ("a storage", entry_set(genuine, "\u0005SummaryInformation", 66, b"\1"),
             'a storage "\\u0005SummaryInformation" (where embedded transforms and nested packages live)', None),
            ("an unsigned MSI with a signature stream of garbage", made(**{signature: b"garbage" * 9}), "",
             "stream holds no signature osslsigncode can read"),
            ("an empty one beside an extended signature's stream", made(**{signature: b"", extended: b"x" * 32}), "",
             "stream holds no signature osslsigncode can read"),
            ("the extended signature's stream alone", made(**{extended: b"x" * 32}), "", "without a signature"),
            # msibuild links a storage's entries in one line: as deep as there are entries
            ("a thousand streams more", made(**{f"s{number:04d}": b"x" for number in range(1100)}),
             'a stream "s0000" the build does not write', None),
            # What a reader finds by name is what the directory's tree leads to, in its order.
            ("an entry the directory's tree does not reach", entry_set(genuine, "Root Entry", 76, 0xFFFFFFFF),
             "which its tree does not reach", None),
            ("an entry the tree leads to twice", entry_set(genuine, "\u0005SummaryInformation", 72, 1),
             "names an entry that is not one, or one twice", None),
        ]
        # A stream is found only under the name Windows Installer encodes for it (the summary's
        # and the signature's, which OLE and osslsigncode write, as they are too).
        for table, name, stored, found in ((False, cabinet, cabinet, False),
                                           (False, cabinet, cfb.msi_encode(False, cabinet), True),
                                           (True, "File", "File", False),
                                           (False, signature, signature, True)):
            with self.subTest(f"{name} stored as {stored!r}"):
                self.assertEqual(cfb.stored_as_msi_stores(table, name, stored), found)
        for what, data, words, signed in rows:
            with self.subTest(what):
                why = installer.accounted(data, tables)
                self.assertIn(words, why) if words else self.assertEqual(why, "")
                path = self.write("checked.msi", data)
                ctx = support.context(self.tmp)
                der = authenticode.msi_pkcs7(path, installer.stream_names(data), ctx)
                if signed is None:
                    self.assertIsNone(der)
                    continue
                result = authenticode.check(path, der, "dorvane-1.0.0-win64.msi", ctx)
                lines = support.lines(ctx.report)
                self.assertTrue(result.signed and not result.verified, lines)
                self.assertTrue(any(line.startswith("FAIL") and signed in line for line in lines), lines)


@unittest.skipUnless(msi.available(), "no libmsi bindings (python3-gi, gir1.2-libmsi-1.0)")
class Reader(support.Scratch):
    def bounded(self, path, reader=None, seconds=10):
        return msi.read_bounded(path, cpu_seconds=1, memory=256 << 20, seconds=seconds, answer_limit=2 << 20,
                                reader=reader)

    def test_misbehaving_readers(self):
        path = self.write("x.msi", b"not an MSI")
        rows = [
            # (what, the reader in the child (None: libmsi's), the seconds its answer is awaited, words)
            ("it crashes", lambda path: os.abort(), 10, "stopped by SIGABRT"),
            ("it spins past its CPU seconds", lambda path: any(iter(int, 1)), 10,
             "stopped by SIGXCPU after its 1 CPU seconds"),
            ("it grows past its memory", lambda path: [bytearray(1 << 20) for _ in iter(int, 1)], 10,
             "out of its 256 MiB"),
            ("it never answers", lambda path: time.sleep(60), 0.5, "no answer within 0.5 s"),
            ("its answer is too long", lambda path: {"tables": {}, "summary": {}, "streams": ["x" * (1 << 20)] * 4}, 10,
             "grew past 2 MiB"),
            ("the file is no MSI", None, 10, "libmsi cannot read it"),
        ]

        def refusal(row):
            started = time.monotonic()
            try:
                self.bounded(path, *row[1:3])
            except msi.Unreadable as refused:
                return str(refused), time.monotonic() - started
            return "read", time.monotonic() - started
        # All at once: the waits (the spinner's CPU second, the hang's half second) overlap.
        with concurrent.futures.ThreadPoolExecutor(len(rows)) as pool:
            refusals = list(pool.map(refusal, rows))
        for (what, _, _, words), (said, took) in zip(rows, refusals):
            with self.subTest(what):
                self.assertIn(words, said)
                self.assertLess(took, 8)

    def test_a_real_msi_reads_as_in_process(self):
        path = made_msi(self)
        found = self.bounded(path)
        self.assertEqual(found, msi.read(path))
        for name, table in genuine()["tables"].items():
            self.assertEqual(sorted(map(repr, found["tables"][name]["rows"])), sorted(map(repr, table["rows"])), name)


if __name__ == "__main__":
    unittest.main()
