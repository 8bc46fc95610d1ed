"""The MSI against the contract, every row, value, condition, attribute and summary field,
and libmsi kept in a child process: a reader that crashes, loops, grows or hangs is a
failure with its reason, never a verdict."""
import copy
import os
import subprocess
import time
import unittest

import support

from verify import contract, installer, msi

ARCH, VERSION, EPOCH = "win64", "1.0.0", 1767225600
FILES = {name: name.encode() * 7 for name in contract.members()}


def genuine():
    return contract.msi_expected(ARCH, VERSION, EPOCH, FILES)


def edit(table, change):
    """The genuine MSI with CHANGE(rows, columns) applied to TABLE's rows."""
    found = genuine()
    entry = found["tables"][table]
    change(entry["rows"], [name for name, _ in entry["columns"]])
    return found


def set_cell(key_column, key, column, value):
    def change(rows, columns):
        for row in rows:
            if row[columns.index(key_column)] == key:
                row[columns.index(column)] = value
    return change


def summary(**fields):
    found = genuine()
    found["summary"].update(fields)
    return found


class Tables(unittest.TestCase):
    rows = [
        # (what is planted, the MSI as read, words of the refusal)
        ("an Upgrade row that removes another product",
         edit("Upgrade", lambda rows, _: rows.append(["{11111111-2222-3333-4444-555555555555}", None, None, None, 256,
                                                       None, "OTHERPRODUCTS"])), "table Upgrade's rows differ"),
        ("a launch condition sending the user to a download",
         edit("LaunchCondition", set_cell("Condition", "NOT WIX_DOWNGRADE_DETECTED", "Description",
                                          "Get the new version at https://example.invalid/")),
         "https://example.invalid/"),
        ("dorvane.exe not compressed: taken from beside the MSI",
         edit("File", set_cell("File", "dorvane.exe", "Attributes", 8192)), "table File's rows differ"),
        ("InstallFiles conditioned to 0",
         edit("InstallExecuteSequence", set_cell("Action", "InstallFiles", "Condition", "0")),
         "table InstallExecuteSequence's rows differ"),
        ("a permanent component", edit("Component", set_cell("Component", "Program", "Attributes", 256 | 16)),
         "table Component's rows differ"),
        ("another Manufacturer", edit("Property", set_cell("Property", "Manufacturer", "Value", "Someone Else")),
         "Someone Else"),
        ("another template", summary(template="Intel;1033"), "summary template \"Intel;1033\""),
        ("another author", summary(author="Someone Else"), "summary author"),
        ("a table more", None, "table \"Binary2\" is extra"),
        ("a stream more", None, "streams"),
    ]

    def test_rows_before_unpacking(self):
        for what, found, words in self.rows:
            with self.subTest(what):
                if what == "a table more":
                    found = genuine()
                    found["tables"]["Binary2"] = copy.deepcopy(found["tables"]["Binary"])
                elif what == "a stream more":
                    found = genuine()
                    found["streams"] = sorted(found["streams"] + ["helper"])
                why = installer.differences(found, ARCH, VERSION, EPOCH)
                self.assertIn(words, why)
        self.assertEqual(installer.differences(genuine(), ARCH, VERSION, EPOCH), "")

    def test_values_from_the_files_are_held_once_unpacked(self):
        # Another package code (it covers the files' bytes): not known before unpacking,
        # refused once the files are there.
        found = summary(uuid="{00000000-0000-0000-0000-000000000000}")
        self.assertEqual(installer.differences(found, ARCH, VERSION, EPOCH), "")
        self.assertIn("summary uuid", installer.differences(found, ARCH, VERSION, EPOCH, FILES))
        self.assertIn("table File's rows differ",
                      installer.differences(genuine(), ARCH, VERSION, EPOCH, dict(FILES, LICENSE=b"other")))

    def test_commit_time_from_the_summary(self):
        self.assertEqual(installer.epoch_of({"created_tm": contract.filetime(EPOCH)}), EPOCH)
        for bad in (contract.filetime(EPOCH) + 1, "1", None, True):
            self.assertIsNone(installer.epoch_of({"created_tm": bad}))


def crash(path):
    os.abort()


def spin(path):
    while True:
        pass


def grow(path):
    hoard = []
    while True:
        hoard.append(bytearray(1 << 20))


def hang(path):
    time.sleep(60)


def chatter(path):
    return {"tables": {}, "summary": {}, "streams": ["x" * (1 << 20)] * 4}


@unittest.skipUnless(msi.available(), "no libmsi bindings (python3-gi, gir1.2-libmsi-1.0)")
class Reader(support.Scratch):
    def bounded(self, path, reader=None, seconds=10):
        return msi.read_bounded(path, cpu_seconds=2, memory=256 << 20, seconds=seconds, answer_limit=2 << 20,
                                reader=reader)

    def test_misbehaving_readers(self):
        path = self.write("x.msi", b"not an MSI")
        rows = [
            ("it crashes", crash, "stopped by SIGABRT"),
            ("it spins past its CPU seconds", spin, "stopped by SIGXCPU after its 2 CPU seconds"),
            ("it grows past its memory", grow, "out of its 256 MiB"),
            ("it never answers", hang, "no answer within 1 s"),
            ("its answer is too long", chatter, "grew past 2 MiB"),
            ("the file is no MSI", None, "libmsi cannot read it"),
        ]
        for what, reader, words in rows:
            with self.subTest(what):
                started = time.monotonic()
                with self.assertRaises(msi.Unreadable) as raised:
                    self.bounded(path, reader, seconds=1 if reader is hang else 10)
                self.assertIn(words, str(raised.exception))
                self.assertLess(time.monotonic() - started, 8)

    def test_a_real_msi_reads_as_in_process(self):
        # The contract's tables, written by msibuild.
        values = contract.msi_values(ARCH, VERSION, EPOCH, FILES)
        imports = []
        for name, table in contract.load()["msi"]["tables"].items():
            lines = ["\t".join(column for column, _ in table["columns"]), "\t".join(kind for _, kind in table["columns"]),
                     "\t".join([name] + table["keys"])]
            lines += ["\t".join("" if cell is None else str(cell) for cell in row)
                      for row in contract.fill(table["rows"], values)]
            imports += ["-i", self.write(name + ".idt", "\n".join(lines) + "\n")]
        path = self.path("made.msi")
        subprocess.run(["msibuild", path] + imports, check=True, capture_output=True)
        found = self.bounded(path)
        self.assertEqual(found, msi.read(path))
        for name, table in genuine()["tables"].items():
            self.assertEqual(sorted(map(repr, found["tables"][name]["rows"])), sorted(map(repr, table["rows"])), name)


if __name__ == "__main__":
    unittest.main()
