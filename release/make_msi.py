#!/usr/bin/python3
"""Builds the Windows Installer package of one architecture from release/contract.json
alone: its tables, summary and streams are the MSI's one source. libmsi's GObject bindings
make an empty database with the contract's summary; msibuild imports every table into it
(one IDT file each, the contract's rows with this release's values) and adds the cabinet,
which gcab's bindings write of the File table's members. It signs the package when signing
is configured, checks it is exactly the MSI that release/contract.json describes (the tools
did what they were asked), and writes its SHA-256 beside it. One commit gives the same
bytes wherever it is built: the codes derive from the version and the commit time, and the
cabinet's file dates and the summary's times are the commit's.

usage: make_msi.py ARCH VERSION EPOCH OUTPUT.msi FILES_DIR [SIGNING.json]
  FILES_DIR holds the package's members; SIGNING.json is the build's signing configuration
  (cmake/signing.cmake), given when the build signs.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

from verify import contract, msi

try:
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio, GLib  # noqa: E402 (after the version is chosen)
except (ImportError, ValueError):
    GCab = None

HERE = os.path.dirname(os.path.abspath(__file__))


def fail(message):
    sys.exit(f"make_msi.py: {message}")


def run(*command, **options):
    result = subprocess.run(command, **options)
    if result.returncode != 0:
        fail(f"{command[0]} failed (status {result.returncode})")


def idt(name, table, values):
    """A table as msibuild imports it: column names, types, the table and its keys, then the
    contract's rows with their values filled in."""
    lines = ["\t".join(column for column, _ in table["columns"]),
             "\t".join(kind for _, kind in table["columns"]),
             "\t".join([name] + table["keys"])]
    for row in contract.fill(table["rows"], values):
        cells = ["" if cell is None else str(cell) for cell in row]
        # A tab or line break would move the row's other values into other columns.
        if any(re.search(r"[\t\r\n]", cell) for cell in cells):
            fail(f"a value of table {name} holds a tab or a line break: {row!r}")
        lines.append("\t".join(cells))
    return "\n".join(lines) + "\n"


def summary_database(path, summary):
    """A new, empty database holding SUMMARY. msibuild's -s sets four fields and, making a
    database, defaults of its own beside them (another creating application, a random
    revision number, a character count), so the summary is written here, whole."""
    Libmsi = msi.Libmsi
    properties = {prop.value_nick.replace("-", "_"): prop for prop in Libmsi.Property.__enum_values__.values()}
    database = Libmsi.Database.new(path, Libmsi.DbFlags.CREATE, None)
    info = Libmsi.SummaryInfo.new(database, len(summary))
    for key, value in summary.items():
        if isinstance(value, str):
            info.set_string(properties[key], value)
        elif key.endswith("_tm"):  # the creation and last-saved times, FILETIMEs
            info.set_filetime(properties[key], value)
        else:
            info.set_int(properties[key], value)
    info.persist()
    database.commit()


def cabinet(path, table, values, files, epoch):
    """The cabinet of the File table's rows in their sequence, each member's bytes under its
    File key, dated at the commit (UTC), MSZIP-compressed as Windows Installer reads it."""
    columns = [column for column, _ in table["columns"]]
    rows = sorted(contract.fill(table["rows"], values), key=lambda row: row[columns.index("Sequence")])
    folder = GCab.Folder.new(GCab.Compression.MSZIP)
    date = GLib.DateTime.new_from_unix_utc(int(epoch))
    for row in rows:
        data = files[row[columns.index("FileName")]]
        member = GCab.File.new_with_bytes(row[columns.index("File")], GLib.Bytes.new(data))
        member.set_date_time(date)
        # What gcab gives a file it reads from disk.
        member.set_attributes(GCab.FileAttribute.ARCH)
        folder.add_file(member, False, None)
    made = GCab.Cabinet.new()
    made.add_folder(folder)
    stream = Gio.File.new_for_path(path).replace(None, False, Gio.FileCreateFlags.NONE, None)
    made.write_simple(stream, None, None, None)
    stream.close(None)


def main(argv):
    if not 6 <= len(argv) <= 7:
        fail("usage: make_msi.py ARCH VERSION EPOCH OUTPUT.msi FILES_DIR [SIGNING.json]")
    arch, version, epoch, output, folder = argv[1:6]
    signing = argv[6:]
    spec = contract.load()["msi"]
    if not msi.available() or GCab is None:
        fail("the GObject bindings of libmsi and gcab are not installed (Debian's python3-gi, gir1.2-libmsi-1.0 "
             "and gir1.2-gcab-1.0)")
    # The summary names the msitools that made it: this build's own.
    try:
        msitools = subprocess.run(["msiextract", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        msitools = ""
    if not re.fullmatch(spec["msitools"], msitools):
        fail(f"msiextract --version names no msitools release: {msitools[:80]!r}")
    files = {}
    for name in contract.members():
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = f.read()
    with tempfile.TemporaryDirectory() as work:
        values = contract.msi_values(arch, version, epoch, files, msitools)
        package = os.path.join(work, "package.msi")
        summary_database(package, {key: contract.fill(value, values) for key, value in spec["summary"].items()})
        imports = []
        for name, table in spec["tables"].items():
            with open(os.path.join(work, f"{name}.idt"), "w", encoding="utf-8", newline="\n") as f:
                f.write(idt(name, table, values))
            imports += ["-i", f"{name}.idt"]
        cabinet(os.path.join(work, "cabinet"), spec["tables"]["File"], values, files, epoch)
        run("msibuild", "package.msi", *imports, "-a", spec["cabinet"], "cabinet", cwd=work)

        if signing:
            with open(os.path.join(work, "epoch"), "w") as f:
                f.write(f"{epoch}\n")
            run("/bin/bash", os.path.join(HERE, "sign.sh"), "msi", package, os.path.join(work, "epoch"), signing[0])

        problems = contract.msi_differences(msi.read(package),
                                            contract.msi_expected(arch, version, epoch, files, msitools))
        if problems:
            fail("the package is not the one release/contract.json describes: " + "; ".join(problems[:5]))
        shutil.move(package, output)
    with open(output, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(output + contract.load()["checksum"], "w", encoding="utf-8", newline="\n") as f:
        f.write(f"{digest}  {os.path.basename(output)}\n")
    print(f"make_msi.py: {output} ({values['product_code']})")


if __name__ == "__main__":
    main(sys.argv)
