"""Whole runs in process on folders made here: the checksums beside each file and SHA256SUMS,
names Windows keeps apart, what a folder may hold under each anchor, and the command lines
refused with status 2."""
import contextlib
import hashlib
import io
import os
import unittest

import support

from verify import cli, limits, report

BASE = "dorvane-1.0.0-win64"
ZIP, MSI = BASE + ".zip", BASE + ".msi"


def sums(*names):
    return "".join(f"{hashlib.sha256(name.encode()).hexdigest()}  {name}\n" for name in names).encode()


def beside(name):
    """NAME's content (its own name) and its .sha256."""
    return {name: name.encode(), name + ".sha256": sums(name.rsplit("/", 1)[-1])}


def release(*names):
    return {key: data for name in (ZIP,) + names for key, data in beside(name).items()}


class Folders(support.Scratch):
    def checked(self, files, *argv):
        """(status, the report's lines and the usage error's text) of a run on a folder of FILES
        (a value of None: a symbolic link out of it; a name ending in "/": an empty folder)."""
        self.fill(files, "dir")
        os.makedirs(self.path("work"))
        made, errors = report.Report(out=None), io.StringIO()
        argv = [self.path("dir")] + [self.anchor(word) for word in argv]
        try:
            with contextlib.redirect_stderr(errors):
                cli.verify(cli.Context(cli.arguments(argv), self.path("work"), made, limits.Limits().start()))
        except SystemExit as exit:
            return exit.code, [errors.getvalue()]
        except cli.Usage as usage:
            return 2, [str(usage)]
        return (1 if made.failed else 0), support.lines(made)

    def anchor(self, word):
        """The file for a word of the command line that names one (KEY, CERT, and BADBLOCK: a
        CERT followed by a block that is no certificate); any other word itself."""
        cert = support.pem(support.certificate(support.name_of((support.x509.NameOID.COMMON_NAME, "T")),
                                               support.key("leaf")))
        files = {"KEY": support.key("leaf").public_key().public_bytes(
            support.serialization.Encoding.PEM, support.serialization.PublicFormat.SubjectPublicKeyInfo),
            "CERT": cert, "BADBLOCK": cert + b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"}
        return self.write(word.lower() + ".pem", files[word]) if word in files else word

    rows = [
        # (what, the folder's files, the command line's words, the status, words a line must hold)
        ("a checksum of another file", dict(release(), **{ZIP + ".sha256": sums(MSI)}), [], 1,
         f"FAIL {ZIP}.sha256 matches: it is the checksum of {MSI}, not of {ZIP}"),
        ("a package's name with a space", dict(release(), **{BASE + " (1).zip": b"x"}), [], 1,
         f'FAIL "{BASE} (1).zip" is a release package: not a dorvane-'),
        ("a name globbing would expand", {"dorvane-[1].0-win64.zip": b"not a zip"}, [], 2,
         'no release in "{dir}" (no '),
        ("the same, named", {"dorvane-[1].0-win64.zip": b"not a zip"}, [], 2, '; refused: "dorvane-[1].0-win64.zip"'),
        ("SHA256SUMS naming a file outside", dict(release(), SHA256SUMS=sums("../outside")), [], 1,
         'FAIL SHA256SUMS matches every file it lists (1): names "../outside": not a plain relative name'),
        ("SHA256SUMS naming a device", dict(release(), SHA256SUMS=sums("/dev/zero")), [], 1,
         'names "/dev/zero": not a plain relative name'),
        ("a record that is a symbolic link", dict(release(), **{BASE + ".cdx.json": None}), [], 1,
         f"FAIL {BASE}.cdx.json: is a symbolic link, not a regular file: not opened"),
        ("a file with no checksum", dict(release(), **{"notes.txt": b"read me"}), [], 1,
         "FAIL notes.txt has a checksum: no .sha256 beside it and not in SHA256SUMS"),
        ("a package in a folder, signed release", release("latest/" + MSI), ["--ca", "CERT"], 1,
         f"FAIL latest/{MSI}: not part of the signed release"),
        ("an exe beside the packages", release(BASE + ".exe"), ["--key", "KEY"], 1,
         f"FAIL {BASE}.exe: not part of the signed release"),
        ("another case of a name", release(MSI, "DORVANE-1.0.0-WIN64.MSI"), ["--ca", "CERT"], 1,
         f"FAIL DORVANE-1.0.0-WIN64.MSI: a name Windows keeps: Windows takes it as {MSI}"),
        ("the same, not part of it", release(MSI, "DORVANE-1.0.0-WIN64.MSI"), ["--ca", "CERT"], 1,
         "FAIL DORVANE-1.0.0-WIN64.MSI: not part of the signed release"),
        # Windows upper-cases each letter alone: final and medial sigma are one letter to it
        ("names one only in Windows' case table", release("notes.\u03c3", "notes.\u03c2"), [], 1,
         'FAIL "notes.\\u03c2": a name Windows keeps: Windows takes it as "notes.\\u03c3"'),
        ("an empty folder named as a package is, but for case", dict(release(), **{ZIP.upper() + "/": b""}), [], 1,
         f"FAIL {ZIP.upper()}: a name Windows keeps: Windows takes it as {ZIP}"),
        ("a trailing dot", release(MSI + "."), [], 1,
         f"FAIL {MSI}.: a name Windows keeps: Windows drops the trailing dots"),
        ("a device name", release("aux.txt"), [], 1, 'FAIL aux.txt: a name Windows keeps: "aux.txt" is a device name'),
        ("the same, not part of a release", release("aux.txt"), [], 1, "FAIL aux.txt: not part of a release"),
        ("CPack's working folder", release("_CPack_Packages/win64/version.dll"), [], 1,
         "FAIL _CPack_Packages/win64/version.dll: not part of a release"),
        ("SHA256SUMS over the flat files of a folder with a folder in it",
         dict(release(), SHA256SUMS=sums(ZIP, ZIP + ".sha256"), **{"_CPack_Packages/x": b"x"}),
         ["--sums", hashlib.sha256(sums(ZIP, ZIP + ".sha256")).hexdigest()], 1,
         "it does not list 1 of the folder's files: _CPack_Packages/x"),
        ("--sums of another SHA256SUMS", dict(release(), SHA256SUMS=sums(ZIP)), ["--sums", "0" * 64], 1,
         "FAIL SHA256SUMS is the one whose SHA-256 was given (--sums) and lists every file (the manifests' folders "
         "aside): its SHA-256 is"),
        ("another version's packages beside, each checked", release("dorvane-1.0.2-win64.zip"), [], 1,
         "FAIL dorvane-1.0.2-win64.msi: missing beside dorvane-1.0.2-win64.zip"),
        # the command line
        ("an option it does not know", release(), ["--frobnicate"], 2, "unrecognized arguments: --frobnicate"),
        ("a --sums that is no digest", release(), ["--sums", "nothex"], 2, "--sums: not 64 hex digits"),
        ("--identity in OpenSSL's slashed form", release(), ["--ca", "CERT", "--identity", "/O=Example/CN=x"], 2,
         "--identity: give the subject as RFC 4514 writes it"),
        ("--identity without --ca", release(), ["--key", "KEY", "--identity", "CN=x"], 2, "--identity goes with --ca"),
        # OpenSSL would refuse the whole file for the block it cannot read
        ("--ca with a block that is no certificate", release(), ["--ca", "BADBLOCK"], 2,
         "--ca: \"{dir}/../badblock.pem\": its PEM block 2 is not a certificate that can be read"),
        ("--tsa-ca with a block that is no certificate", release(), ["--key", "KEY", "--tsa-ca", "BADBLOCK"], 2,
         "its PEM block 2 is not a certificate that can be read"),
    ]

    def test_rows(self):
        for what, files, argv, status, words in self.rows:
            with self.subTest(what):
                found, lines = self.checked(files, *argv)
                self.assertEqual(found, status, "\n".join(lines))
                words = words.replace("{dir}/..", self.tmp).replace("{dir}", self.path("dir"))
                self.assertTrue(support.has(lines, words), f"{words}\n" + "\n".join(lines))


if __name__ == "__main__":
    unittest.main()
