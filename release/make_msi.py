#!/usr/bin/python3
"""Builds the Windows Installer package of one architecture: release/dorvane.wxs through
Debian's wixl, then with msibuild what wixl cannot express (the PATH entry, same-version
upgrades, a secure INSTALLDIR, the summary), signs it when signing is configured, checks it is exactly the MSI
that release/contract.json describes, and writes its SHA-256 beside it. One commit gives
the same bytes wherever it is built: the codes derive from the version and the commit
time, and file dates and summary times are the commit's.

usage: make_msi.py ARCH VERSION EPOCH OUTPUT.msi FILES_DIR [SIGNING.json]
  FILES_DIR holds the package's members; SIGNING.json is the build's signing configuration
  (cmake/signing.cmake), given when the build signs.
"""
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

from verify import contract, msi

HERE = os.path.dirname(os.path.abspath(__file__))
WIX = "http://schemas.microsoft.com/wix/2006/wi"


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
        lines.append("\t".join("" if cell is None else str(cell) for cell in row))
    return "\n".join(lines) + "\n"


def wxs_with_members(source, target):
    """The wxs with one File element per member in its component, the exe its key path."""
    ElementTree.register_namespace("", WIX)
    tree = ElementTree.parse(source)
    component = tree.find(f".//{{{WIX}}}Component")
    for number, member in enumerate(contract.load()["members"]):
        attributes = {"Id": member["msi_id"], "Name": member["name"], "Source": member["name"]}
        if number == 0:
            attributes["KeyPath"] = "yes"
        ElementTree.SubElement(component, f"{{{WIX}}}File", attributes)
    tree.write(target, encoding="utf-8", xml_declaration=True)


def main(argv):
    if not 6 <= len(argv) <= 7:
        fail("usage: make_msi.py ARCH VERSION EPOCH OUTPUT.msi FILES_DIR [SIGNING.json]")
    arch, version, epoch, output, folder = argv[1:6]
    signing = argv[6:]
    entry = contract.arch(arch)["msi"]
    spec = contract.load()["msi"]
    with tempfile.TemporaryDirectory() as work:
        files = {}
        for name in contract.members():
            shutil.copyfile(os.path.join(folder, name), os.path.join(work, name))
            # The cabinet keeps each file's date.
            os.utime(os.path.join(work, name), (int(epoch), int(epoch)))
            with open(os.path.join(work, name), "rb") as f:
                files[name] = f.read()
        values = contract.msi_values(arch, version, epoch, files)
        wxs_with_members(os.path.join(HERE, "dorvane.wxs"), os.path.join(work, "dorvane.wxs"))

        # wixl and msibuild stamp the package with the time they run: make that the commit's.
        stamp = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
        at_commit = ["faketime", "-f", stamp]
        environment = dict(os.environ, TZ="UTC")
        defines = {"Version": version, "ProductCode": values["product_code"], "PackageCode": values["package_code"],
                   "UpgradeCode": entry["upgrade_code"], "ComponentGuid": entry["component_code"],
                   "Win64": entry["win64"], "ProgramFilesFolder": entry["program_files"],
                   "Manufacturer": values["publisher"], "Cabinet": spec["cabinet"],
                   "Comments": spec["text"]["comments"], "DowngradeMessage": spec["text"]["downgrade"]}
        run(*at_commit, "wixl", "-a", entry["wixl"], *[word for key, value in defines.items() for word in ("-D", f"{key}={value}")],
            "-o", "package.msi", "dorvane.wxs", cwd=work, env=environment)

        # wixl knows no Environment element and writes its upgrade row for older versions
        # only: both tables as the contract has them, and the sequence rows wixl left out.
        tables = spec["tables"]
        imports = []
        for name in ("Environment", "Upgrade"):
            with open(os.path.join(work, f"{name}.idt"), "w", encoding="utf-8", newline="\n") as f:
                f.write(idt(name, tables[name], values))
            imports += ["-i", f"{name}.idt"]
        made = msi.read(os.path.join(work, "package.msi"))["tables"]["InstallExecuteSequence"]["rows"]
        queries = []
        for action, condition, sequence in tables["InstallExecuteSequence"]["rows"]:
            if [action, condition, sequence] not in made:
                queries += ["-q", "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) "
                                  f"VALUES ('{action}', {sequence})"]
        # wixl cannot mark a property secure: the contract's SecureCustomProperties, which
        # lets INSTALLDIR through to the elevated part of a per-machine install.
        made = dict(msi.read(os.path.join(work, "package.msi"))["tables"]["Property"]["rows"])
        for name, value in contract.fill(tables["Property"]["rows"], values):
            if name in made and made[name] != value:
                queries += ["-q", f"UPDATE `Property` SET `Value` = '{value}' WHERE `Property` = '{name}'"]
        summary = {key: contract.fill(value, values) for key, value in spec["summary"].items()}
        run(*at_commit, "msibuild", "package.msi", *imports, *queries, "-s", summary["subject"], summary["author"],
            summary["template"], summary["uuid"], cwd=work, env=environment)

        if signing:
            with open(os.path.join(work, "epoch"), "w") as f:
                f.write(f"{epoch}\n")
            run("bash", os.path.join(HERE, "sign.sh"), "msi", os.path.join(work, "package.msi"),
                os.path.join(work, "epoch"), signing[0])

        # (The summary names the msitools that made it: this build's own.)
        msitools = subprocess.run(["wixl", "--version"], capture_output=True, text=True, check=True).stdout.strip()
        problems = contract.msi_differences(msi.read(os.path.join(work, "package.msi")),
                                            contract.msi_expected(arch, version, epoch, files, msitools))
        if problems:
            fail("the package is not the one release/contract.json describes: " + "; ".join(problems[:5]))
        shutil.move(os.path.join(work, "package.msi"), output)
    with open(output, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(output + contract.load()["checksum"], "w", encoding="utf-8", newline="\n") as f:
        f.write(f"{digest}  {os.path.basename(output)}\n")
    print(f"make_msi.py: {output} ({values['product_code']})")


if __name__ == "__main__":
    main(sys.argv)
