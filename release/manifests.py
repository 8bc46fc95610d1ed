#!/usr/bin/python3
"""Writes the winget and Scoop manifests of one release from the files it publishes.

What the manifests say is computed from the packages' facts by verify/manifest_content.py,
the code the verifier holds the manifests it finds to. The facts are read here from the
files: the hashes from their bytes, the ProductCode, UpgradeCode, name and publisher from
each MSI (libmsi), the architecture from each exe's own PE header (read by Debian's
pefile), the Windows it needs from the exe's manifest resource and subsystem version.
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
import yaml

from verify import contract, manifest_content, msi
from verify.manifest_content import Unfit

EXE = contract.exe()


def fail(message):
    sys.exit("manifests.py: " + message)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


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


class Quoted(yaml.SafeDumper):
    """Quotes every string that YAML would read as something else: a number or a date
    ('1.10'), a map or list ('{GUID}'), a boolean ('yes'), or nothing."""


def represent_str(dumper, value):
    resolved = dumper.resolve(yaml.ScalarNode, value, (True, False))
    risky = resolved != "tag:yaml.org,2002:str" or value[:1] in "{[&*!|>'\"%@`#" or \
        re.fullmatch(r"[0-9][0-9._:+-]*", value)
    return dumper.represent_scalar("tag:yaml.org,2002:str", value, style="'" if risky else None)


Quoted.add_representer(str, represent_str)


def write(release, documents):
    """Writes each manifest of DOCUMENTS ({path: (kind, document)}, as manifest_content makes
    them) under RELEASE: the winget ones as YAML after their schema's header, Scoop's as JSON."""
    for path, (kind, document) in documents.items():
        target = os.path.join(release, *path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w", encoding="utf-8", newline="\n") as f:
            if kind == manifest_content.SCOOP:
                json.dump(document, f, indent=4, ensure_ascii=True)
                f.write("\n")
            else:
                f.write(manifest_content.header(kind)
                        + yaml.dump(document, Dumper=Quoted, sort_keys=False, allow_unicode=False, width=100))


def scoop_checkver(url, version):
    """Scoop's checkver for URL, or the reason it has none (release.sh asks before building)."""
    try:
        return manifest_content.scoop_checkver(manifest_content.release_folder(url), version)
    except Unfit as unfit:
        fail(str(unfit))


def main(argv):
    if len(argv) not in (4, 5):
        fail("usage: manifests.py PROJECT_JSON RELEASE_DIR RELEASE_URL [RELEASE_NOTES_URL]")
    with open(argv[1], encoding="utf-8") as f:
        project = json.load(f)
    release, url = argv[2], argv[3]
    notes = argv[4] if len(argv) == 5 else ""
    version = project["version"]
    scoop_checkver(url, version)
    if notes:
        try:
            manifest_content.https_url(notes, "release notes URL")
        except Unfit as unfit:
            fail(str(unfit))
    packages = {}
    for arch in contract.arches():
        base = contract.package(version, arch)
        zip_name, msi_name = base + contract.suffix("zip"), base + contract.suffix("msi")
        for name in (zip_name, msi_name):
            if not os.path.isfile(os.path.join(release, name)):
                fail("no %s in %s: the manifests name every architecture" % (name, release))
        with open(os.path.join(release, zip_name), "rb") as f:
            zip_bytes = f.read()
        with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
            exe_path = base + "/" + EXE
            if exe_path not in archive.namelist():
                fail("%s has no %s" % (zip_name, exe_path))
            exe = archive.read(exe_path)
            guide = archive.read(base + "/" + manifest_content.GUIDE)
        msi_path = os.path.join(release, msi_name)
        if msi_exe(msi_path) != exe:
            fail("%s and %s hold different exes" % (msi_name, zip_name))
        with open(msi_path, "rb") as f:
            msi_hash = sha256(f.read())
        try:
            packages[arch] = manifest_content.package_facts(arch, exe, guide, msi.read(msi_path), sha256(zip_bytes),
                                                            msi_hash)
        except Unfit as unfit:
            fail("%s: %s" % (base, unfit))
    try:
        documents = manifest_content.documents(project, version, url, notes, packages)
    except Unfit as unfit:
        fail(str(unfit))
    write(release, documents)


if __name__ == "__main__":
    main(sys.argv)
