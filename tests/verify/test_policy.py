"""What each anchor requires, decided in one place, and what the checksums, the records'
bounds and the manifests let through."""
import hashlib
import os
import unittest
import unittest.mock

import support

from verify import folder, limits, policy, report, tools

BASE = "dorvane-1.0.0-win64"


class Anchors(unittest.TestCase):
    # (anchor, a missing tool where the origin rests on the check, a missing record,
    #  an unsigned exe, what a file must be part of)
    table = [
        ({}, "note", "note", "note", "a release"),
        ({"sums": "0" * 64}, "note", "note", "note", "a release"),
        ({"key": "pub.pem"}, "fail", "fail", "fail", "the signed release"),
        ({"ca": "roots.pem"}, "fail", "fail", "fail", "the signed release"),
        ({"ca": "roots.pem", "sums": "0" * 64}, "fail", "fail", "fail", "the signed release"),
    ]

    def test_table(self):
        for anchors, tool, record, unsigned, part in self.table:
            with self.subTest(anchors):
                # A consistency check that cannot be made is a note under every anchor, and
                # the closing line names it.
                for action, verdict in ((lambda p, r: p.unchecked(r, "a signature", "osslsigncode", origin=True), tool),
                                        (lambda p, r: p.missing(r, BASE + ".intoto.jsonl"), record),
                                        (lambda p, r: p.unsigned(r, BASE + ".msi"), unsigned),
                                        (lambda p, r: p.unchecked(r, "the MSI's tables", "msitools", origin=False), "note")):
                    made = report.Report(out=None)
                    action(policy.Policy(**anchors), made)
                    self.assertEqual(made.results[0].verdict, verdict)
                self.assertEqual(policy.Policy(**anchors).release_phrase(), part)
                made.check("something that held")
                self.assertIn("but for the MSI's tables, which could not be checked here",
                              policy.Policy(**anchors).closing(made, repr))

    def test_closing_line_claims_only_what_was_checked(self):
        made = report.Report(out=None)
        made.check("something that held")
        unanchored = policy.Policy().closing(made, repr)
        self.assertNotIn("as the build makes it", unanchored)
        self.assertIn("NOT proved: that the files' contents (the exe's code) are the build's", unanchored)
        made.facts["manifests"] = ["https://example.invalid/1.0.0/"]
        self.assertIn("covered by those hashes, not by a signature", policy.Policy(sums="0" * 64).closing(made, repr))
        # A rebuild that made the same bytes: its closing line does not say a rebuild is what it takes.
        made.facts["rebuilt"] = [BASE + ".zip"]
        rebuilt = policy.Policy().closing(made, repr)
        self.assertIn("the rebuild made the same bytes: " + BASE + ".zip", rebuilt)
        self.assertNotIn("--rebuild", rebuilt)
        made.signers.add("CN=Signer")
        both = policy.Policy(ca="roots.pem", identity="CN=Signer", cert_sha256="0" * 64).closing(made, repr)
        self.assertIn("(--identity and --cert-sha256;", both)
        made.check("a failure", "why")
        self.assertTrue(policy.Policy(key="k").closing(made, repr).startswith("proved: nothing"))


class Checksums(support.Scratch):
    def test_rows(self):
        win64, win32 = BASE, "dorvane-1.0.0-win32"

        def sums_of(files):
            return "".join(f"{hashlib.sha256(d).hexdigest()}  {n}\n" for n, d in files.items()).encode()
        here = {win64 + ".zip": b"zip", win64 + ".msi": b"msi"}
        everything = sums_of({**here, win32 + ".zip": b"zip32", win32 + ".msi": b"msi32"})
        wrong_zip = sums_of({**here, win64 + ".zip": b"other"})
        listed = {**here, "SHA256SUMS": wrong_zip, "winget/manifests/x.yaml": b"x: 1\n"}
        rows = [
            # (what, the folder's files, --sums given, words a line must hold, words no line may hold)
            # LISTED holds a manifests' file, outside SHA256SUMS: not one it "does not list"
            ("the ZIP listed with a wrong digest: a mismatch, not \"does not list\"",
             listed, True, f"FAIL SHA256SUMS matches every file it lists (2): {win64}.zip does not match it", "does not list"),
            # a file with a .sha256 and a SHA256SUMS line, both wrong: each says so, nothing more
            ("a checksum beside it and in SHA256SUMS, neither matching",
             {**here, win64 + ".zip.sha256": ("0" * 64 + "  " + win64 + ".zip\n").encode(),
              "SHA256SUMS": wrong_zip}, False,
             f"FAIL {win64}.zip.sha256 matches: {win64}.zip does not match", "has a checksum"),
            # one architecture downloaded of the three SHA256SUMS names
            ("one architecture's download, --sums", {**here, "SHA256SUMS": everything}, True,
             "ok   SHA256SUMS matches every file it lists that is here (2 of 4)", "FAIL"),
            ("the same: the others listed once as not checked", {**here, "SHA256SUMS": everything}, True,
             f"     not checked: the 2 files SHA256SUMS names of {win32}, which are not in the folder", "ok   " + win32),
            ("a file of an architecture that is here, missing", {win64 + ".zip": b"zip", "SHA256SUMS": everything},
             True, f"names {win64}.msi, not a regular file in the folder (a file of {win64}, which is here)", ""),
        ]
        for what, files, anchored, words, never in rows:
            with self.subTest(what):
                self.fill(files)
                got = folder.Folder(self.tmp, limits.Limits())
                made = report.Report(out=None)
                chosen = policy.Policy(sums=hashlib.sha256(files["SHA256SUMS"]).hexdigest() if anchored else None)
                bases = {folder.base_of(name) for name in files if folder.base_of(name)}
                folder.integrity(got, made, chosen, limits.Limits(), bases)
                text = "\n".join(result.text() for result in made.results)
                self.assertIn(words, text)
                if never:
                    self.assertNotIn(never, text)
                if anchored and not made.failed:
                    self.assertIn(f"the files SHA256SUMS names of {win32} are not in the folder and were NOT checked",
                                  chosen.closing(made, repr))

    def test_anchors_kept_in_the_folder_are_the_users(self):
        roots = self.write("ROOTS.pem", b"-----BEGIN CERTIFICATE-----\n")
        self.write("copy.pem", b"-----BEGIN CERTIFICATE-----\n")
        got = folder.Folder(self.tmp, limits.Limits())
        made = report.Report(out=None)
        folder.anchors_inside(got, {"--ca": roots}, made)
        self.assertEqual(sorted(got.files), ["copy.pem"])  # by what it is, not by name or bytes
        self.assertIn("ROOTS.pem is the file given to --ca, an anchor of yours: not checked as a file of the release "
                      "(keep anchors outside the download folder)", made.results[0].text())


class Records(unittest.TestCase):
    def test_the_caps_hold_todays_records_with_room(self):
        # The win64 release's SBOM is about 12 KiB and its provenance about 21 KiB.
        for kind in ("sbom", "provenance", "envelope", "bundle"):
            self.assertTrue(128 << 10 <= limits.Limits.record[kind] <= 1 << 20, kind)


if __name__ == "__main__":
    unittest.main()


class OldOsslsigncode(support.Scratch):
    def test_only_one_with_the_options_the_checks_pass_is_used(self):
        """An osslsigncode without -ignore-cdp and -ignore-crl would fail every signature on an
        unknown option: such a one is taken for none, and the checks say which they need."""
        for says, usable in (("osslsigncode 2.9, using:", True), ("osslsigncode 2.10", True),
                             ("osslsigncode 3.0", True), ("osslsigncode 2.5, using:", False),
                             ("osslsigncode 1.7.1", False), ("no version here", False)):
            with self.subTest(says):
                self.tool("osslsigncode", f"echo '{says}'\n")
                with unittest.mock.patch.dict(os.environ, {"PATH": self.path("bin")}):
                    found = tools.osslsigncode_usable(tools.Tools(self.tmp, limits.Limits().start()))
                self.assertEqual(found, usable)
