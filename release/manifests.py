#!/usr/bin/python3
"""Writes the winget and Scoop manifests of one release from the files it publishes.

Everything a manifest says is read from those files: the hashes from their bytes, the
ProductCode, UpgradeCode, name and publisher from each MSI (libmsi), the architecture
from each exe's own PE header (read by Debian's pefile), the Windows it needs from the
exe's manifest resource and subsystem version, the exe's path from each ZIP's listing.
Only the names and addresses a package repository knows DORVANE by come from
project.json, which CMake writes, and the architectures and file names from
release/contract.json. Nothing here is built as text: PyYAML and json write it all.

usage: manifests.py PROJECT_JSON RELEASE_DIR RELEASE_URL [RELEASE_NOTES_URL]
RELEASE_DIR holds dorvane-<version>-{win32,win64,arm64}.{zip,msi}; the manifests go to
RELEASE_DIR/winget/manifests/... and RELEASE_DIR/scoop/dorvane.json.
"""
import hashlib
import io
import json
import os
import re
import subprocess
import sys
import tempfile
import zipfile
import pefile
import yaml

from verify import contract, msi

MANIFEST_VERSION = "1.12.0"
# The exe, and the command an administrator types, which is its name.
EXE = contract.exe()
COMMAND = os.path.splitext(EXE)[0]
SCHEMA = "https://aka.ms/winget-manifest.{}.1.12.0.schema.json"
# Windows versions by the supportedOS ids an application manifest can name.
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": (6, 0),  # Vista
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": (6, 1),  # 7
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": (6, 2),  # 8
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": (6, 3),  # 8.1
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": (10, 0),  # 10 and 11
}
# Windows Installer 5.0 (an MSI's summary "Version" 500, wixl's) first came with Windows 7.
MSI_500_NEEDS = (6, 1)


def fail(message):
    sys.exit("manifests.py: " + message)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def pe_facts(exe):
    """The exe's architecture by its PE machine field, and the Windows it needs: the later
    of its subsystem version and the oldest Windows its application manifest names."""
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    except pefile.PEFormatError as error:
        fail("not a PE file (%s)" % error.value)
    machine = pe.FILE_HEADER.Machine
    named = [arch for arch in contract.arches() if contract.arch(arch)["pe_machine"] == machine]
    if not named:
        fail("unknown PE machine 0x%04x" % machine)
    subsystem = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    # The manifest resource (RT_MANIFEST, type 24): its first name's first language.
    manifest = None
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    for kind in resources:
        if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"] and kind.directory.entries:
            languages = kind.directory.entries[0].directory.entries
            if languages:
                data = languages[0].data.struct
                manifest = pe.get_data(data.OffsetToData, min(data.Size, 1 << 16))
    if not manifest:
        fail("the exe has no application manifest")
    ids = re.findall(rb'supportedOS\s+Id="\{([0-9a-fA-F-]+)\}"', manifest)
    versions = [SUPPORTED_OS[i.decode().lower()] for i in ids if i.decode().lower() in SUPPORTED_OS]
    if not versions:
        fail("the exe's manifest names no Windows version it supports")
    return named[0], max(subsystem, min(versions))


def msi_facts(path):
    """The MSI's Property table, summary and table names, as libmsi reads them."""
    read = msi.read(path)
    properties = {key: value for key, value in read["tables"]["Property"]["rows"]}
    return properties, read["summary"], list(read["tables"])


def msi_installer_type(properties, fields, tables):
    """msi or wix, as winget's tools tell them apart: wingetcreate (and the winget-pkgs
    tooling that follows it) calls an MSI "wix" when a table or Property name or value,
    or the summary's creating application, mentions WiX. wixl writes an Upgrade table
    whose actions are WIX_UPGRADE_DETECTED and WIX_DOWNGRADE_DETECTED, and lists them in
    SecureCustomProperties, so an MSI made by wixl is detected as wix; a manifest saying
    msi would not match the detected type. winget installs both with msiexec alike."""
    words = list(tables) + list(properties) + list(properties.values())
    words.append(fields.get("appname", ""))
    return "wix" if any("wix" in word.lower() or "windows installer xml" in word.lower()
                        for word in words) else "msi"


def msi_exe(path):
    """The dorvane.exe inside the MSI's cabinet."""
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["msiextract", "-C", work, path], check=True, capture_output=True)
        found = [os.path.join(top, name) for top, _, names in os.walk(work)
                 for name in names if name == EXE]
        if len(found) != 1:
            fail("%s holds %d %s" % (path, len(found), EXE))
        with open(found[0], "rb") as f:
            return f.read()


def version_string(version):
    return ".".join(str(part) for part in version) + ".0" * (4 - len(version))


def description(guide):
    """The guide's first paragraph: the long description."""
    text = guide.decode("ascii").replace("\r\n", "\n")
    paragraph = text.split("\n\n")[1]
    return " ".join(paragraph.split())


class Quoted(yaml.SafeDumper):
    """Quotes every string that YAML would read as something else: a number or a date
    ('1.10'), a map or list ('{GUID}'), a boolean ('yes'), or nothing."""


def represent_str(dumper, value):
    resolved = dumper.resolve(yaml.ScalarNode, value, (True, False))
    risky = resolved != "tag:yaml.org,2002:str" or value[:1] in "{[&*!|>'\"%@`#" or \
        re.fullmatch(r"[0-9][0-9._:+-]*", value)
    return dumper.represent_scalar("tag:yaml.org,2002:str", value, style="'" if risky else None)


Quoted.add_representer(str, represent_str)


def write_yaml(path, kind, document):
    header = "# yaml-language-server: $schema=%s\n\n" % SCHEMA.format(kind)
    body = yaml.dump(document, Dumper=Quoted, sort_keys=False, allow_unicode=False, width=100)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(header + body)


def scoop_checkver(url, version):
    """Where Scoop looks for the next version. Its autoupdate takes the next version's
    folder to be this one's with the version replaced, so the URL must name it."""
    if version not in url:
        fail("DORVANE_RELEASE_URL must name the version (%s) for Scoop's autoupdate to find "
             "the next one: %s" % (version, url))
    github = re.match(r"(https://github\.com/[^/]+/[^/]+)/releases/download/", url)
    if github:
        checkver = {"github": github.group(1)}
    else:
        # The folder above this version's lists the version folders.
        head, segment = url.rstrip("/").rsplit("/", 1)[0], url.rstrip("/").rsplit("/", 1)[1]
        if version not in segment:
            fail("the last folder of DORVANE_RELEASE_URL must name the version: %s" % url)
        pattern = re.escape(segment).replace(re.escape(version), r"([\d.]+)")
        checkver = {"url": head + "/", "regex": pattern + "/", "reverse": True}
    return checkver


def main(argv):
    if len(argv) not in (4, 5):
        fail("usage: manifests.py PROJECT_JSON RELEASE_DIR RELEASE_URL [RELEASE_NOTES_URL]")
    with open(argv[1], encoding="utf-8") as f:
        project = json.load(f)
    release, url = argv[2], argv[3]
    notes = argv[4] if len(argv) == 5 else ""
    for name, value in (("release URL", url), ("release notes URL", notes)):
        if value and not re.fullmatch(r"https://[^/\s]+(/\S*)?", value):
            fail("the %s must be https://...: %s" % (name, value))
    url = url.rstrip("/") + "/"
    version = project["version"]
    identifier = project["winget_id"]
    checkver = scoop_checkver(url, version)

    msis, zips, scoop = [], [], {}
    for arch in contract.arches():
        base = contract.package(version, arch)
        for kind in (contract.suffix("zip"), contract.suffix("msi")):
            if not os.path.isfile(os.path.join(release, base + kind)):
                fail("no %s%s in %s: the manifests name every architecture" % (base, kind, release))
        with open(os.path.join(release, base + contract.suffix("zip")), "rb") as f:
            zip_bytes = f.read()
        with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
            exe_path = base + "/" + EXE
            if exe_path not in archive.namelist():
                fail("%s.zip has no %s" % (base, exe_path))
            exe = archive.read(exe_path)
            guide = archive.read(base + "/README.txt")
        if pe_facts(exe)[0] != arch:
            fail("%s%s holds an exe for another architecture" % (base, contract.suffix("zip")))
        architecture, needs = contract.arch(arch)["winget"], pe_facts(exe)[1]
        msi_path = os.path.join(release, base + contract.suffix("msi"))
        if msi_exe(msi_path) != exe:
            fail("%s.msi and %s.zip hold different exes" % (base, base))
        properties, fields, tables = msi_facts(msi_path)
        msi_needs = max(needs, MSI_500_NEEDS) if fields["version"] >= 500 else needs
        with open(msi_path, "rb") as f:
            msi_hash = sha256(f.read())
        if properties["Manufacturer"] != project["publisher"]:
            fail("%s.msi's Manufacturer %r is not the publisher %r"
                 % (base, properties["Manufacturer"], project["publisher"]))
        name = properties["ProductName"]
        msis.append({
            "Architecture": architecture,
            "InstallerType": msi_installer_type(properties, fields, tables),
            "Scope": "machine",
            "InstallerUrl": url + base + contract.suffix("msi"),
            "InstallerSha256": msi_hash.upper(),
            "MinimumOSVersion": version_string(msi_needs),
            "ElevationRequirement": "elevationRequired",
            "ProductCode": properties["ProductCode"],
            "AppsAndFeaturesEntries": [{
                "DisplayName": properties["ProductName"],
                "Publisher": properties["Manufacturer"],
                "ProductCode": properties["ProductCode"],
                "UpgradeCode": properties["UpgradeCode"],
            }],
            "Commands": [COMMAND],
        })
        zips.append({
            "Architecture": architecture,
            "InstallerType": "zip",
            "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{"RelativeFilePath": base + "\\" + EXE,
                                      "PortableCommandAlias": COMMAND}],
            "InstallerUrl": url + base + contract.suffix("zip"),
            "InstallerSha256": sha256(zip_bytes).upper(),
            "MinimumOSVersion": version_string(needs),
            "Commands": [COMMAND],
        })
        scoop[contract.arch(arch)["scoop"]] = {"url": url + base + contract.suffix("zip"),
                                             "hash": sha256(zip_bytes),
                                             "extract_dir": base}
    # winget: manifests/<first letter>/<Publisher>/<Package>/<version>/, the identifier's
    # parts as folders.
    folder = os.path.join(release, contract.load()["manifests"]["winget"], "manifests", identifier[0].lower(),
                          *identifier.split("."), version)
    os.makedirs(folder, exist_ok=True)
    common = {"PackageIdentifier": identifier, "PackageVersion": version}
    write_yaml(os.path.join(folder, identifier + ".yaml"), "version",
               {**common, "DefaultLocale": "en-US", "ManifestType": "version",
                "ManifestVersion": MANIFEST_VERSION})
    write_yaml(os.path.join(folder, identifier + ".installer.yaml"), "installer",
               {**common, "Installers": msis + zips, "ManifestType": "installer",
                "ManifestVersion": MANIFEST_VERSION})
    locale = {**common, "PackageLocale": "en-US", "Publisher": project["publisher"],
              "PublisherUrl": project["homepage"], "PackageName": name,
              "PackageUrl": project["homepage"], "License": project["license"],
              "ShortDescription": project["description"], "Description": description(guide),
              "Moniker": COMMAND,
              "Tags": ["shutdown", "restart", "reboot", "logoff", "poweroff", "command-line",
                       "administration", "scheduled-task"]}
    if notes:
        locale["ReleaseNotesUrl"] = notes
    locale.update({"ManifestType": "defaultLocale", "ManifestVersion": MANIFEST_VERSION})
    write_yaml(os.path.join(folder, identifier + ".locale.en-US.yaml"), "defaultLocale", locale)

    # Scoop: an app manifest for a bucket of our own, its architectures in Scoop's own order.
    order = contract.load()["manifests"]["scoop_order"]
    manifest = {
        "version": version,
        "description": project["description"],
        "homepage": project["homepage"],
        "license": project["license"],
        "architecture": {key: scoop[key] for key in order},
        "bin": EXE,
        "checkver": checkver,
        "autoupdate": {
            "architecture": {
                key: {"url": scoop[key]["url"].replace(version, "$version"),
                      "extract_dir": scoop[key]["extract_dir"].replace(version, "$version")}
                for key in order},
            # Each ZIP's .sha256 beside it: "HASH  NAME".
            "hash": {"url": "$url.sha256", "regex": "$sha256\\s+$basename"},
        },
    }
    scoop_folder = os.path.join(release, contract.load()["manifests"]["scoop"])
    os.makedirs(scoop_folder, exist_ok=True)
    with open(os.path.join(scoop_folder, project["scoop_name"] + ".json"), "w",
              encoding="utf-8", newline="\n") as f:
        json.dump(manifest, f, indent=4, ensure_ascii=True)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv)
