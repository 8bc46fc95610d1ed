"""Authenticode as the verifier checks it: offline whatever the signer's certificate names
(a listener on 127.0.0.1 counts every connection made to the CRL distribution point it
names), a chain that stops short said to be that, a changed file said to be that, the
publisher pinned exactly."""
import hashlib
import os
import struct
import unittest

import support
from cryptography.x509.oid import NameOID

from verify import authenticode, names, pe

O, CN = NameOID.ORGANIZATION_NAME, NameOID.COMMON_NAME
IDENTITY = "CN=Test Publisher,O=Test"


class Signatures(support.Scratch):
    @classmethod
    def setUpClass(cls):
        cls.counter = Counter = support.Counter()
        url = f"http://127.0.0.1:{Counter.port}/ca.crl"
        cls.root_key, cls.inter_key, cls.leaf_key = support.key("root"), support.key("intermediate"), support.key("leaf")
        cls.root = support.certificate(support.name_of((CN, "Test Root")), cls.root_key, ca=True)
        cls.inter = support.certificate(support.name_of((CN, "Test Intermediate")), cls.inter_key, cls.root.subject,
                                        cls.root_key, ca=True, crl_url=url)
        publisher = support.name_of((O, "Test"), (CN, "Test Publisher"))
        cls.leaf = support.certificate(publisher, cls.leaf_key, cls.root.subject, cls.root_key, crl_url=url)
        cls.under = support.certificate(publisher, cls.leaf_key, cls.inter.subject, cls.inter_key, crl_url=url)
        # Another customer of the same CA, whose subject X.509 name matching folds into the publisher's.
        cls.other = support.certificate(support.name_of((O, "test"), (CN, "TEST PUBLISHER")), cls.leaf_key,
                                        cls.root.subject, cls.root_key, crl_url=url)

    @classmethod
    def tearDownClass(cls):
        cls.counter.close()

    def signed(self, *certs, data=None):
        key_file = self.write("key.pem", support.key_pem(self.leaf_key))
        return support.sign(data or support.small_pe(), support.pem(*certs), key_file, self.tmp)

    def verdict(self, exe, ca=True, **anchors):
        """(the report's lines, the Signature) of authenticode.check on EXE."""
        roots = self.write("roots.pem", support.pem(self.root)) if ca else None
        ctx = support.context(self.tmp, ca=roots, **anchors)
        if ca:
            ctx.roots = authenticode.roots_of(support.pem(self.root))
        if anchors.get("identity"):
            ctx.identity = names.parse(anchors["identity"])
        label = "dorvane-1.0.0-win64.zip: dorvane.exe"
        der = pe.header(exe, 0x8664, "win64", label, ctx.report, ctx.policy)
        path = self.write("dorvane.exe", exe)
        result = authenticode.check(path, der, label, ctx)
        return support.lines(ctx.report), result, ctx

    def test_roots_files(self):
        # Every block read: OpenSSL refuses a whole file for one it cannot read, which would
        # then fail every timestamp and signature with a reason that is not so.
        good = support.pem(self.root)
        self.assertEqual(len(authenticode.roots_of(good + support.pem(self.inter))), 2)
        for name, data in (("an unreadable block", good + b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"),
                           ("an unterminated block", good + b"-----BEGIN CERTIFICATE-----\nAAAA\n")):
            with self.subTest(name), self.assertRaises(ValueError):
                authenticode.roots_of(data)

    def assertLine(self, lines, words):
        self.assertTrue(any(words in line for line in lines), "\n".join(lines))

    def test_rows(self):
        before = self.counter.count
        changed = bytearray(self.signed(self.leaf))
        changed[0x200] ^= 0x01  # the code signed, changed; its PE checksum made right again
        import pefile
        fixed = pefile.PE(data=bytes(changed))
        struct.pack_into("<I", changed, fixed.OPTIONAL_HEADER.get_file_offset() + 64, fixed.generate_checksum())
        crl_file = self.write("revoked.crl", support.crl(self.root, self.root_key, [self.leaf]))
        good_crl = self.write("good.crl", support.crl(self.root, self.root_key))
        # The intermediate's own CRL, and its root's: revoking the intermediate, or nothing.
        inter_crl = support.crl(self.inter, self.inter_key)
        inter_revoked = self.write("inter-revoked.crl", inter_crl + support.crl(self.root, self.root_key, [self.inter]))
        both_good = self.write("both.crl", inter_crl + support.crl(self.root, self.root_key))
        inter_only = self.write("inter.crl", inter_crl)
        # The root's CRL that revokes nothing, but signed by another key: no CRL of that issuer.
        forged = self.write("forged.crl", inter_crl + support.crl(self.root, self.inter_key, [self.inter]))
        rows = [
            # (what, exe, anchors, verified, words in a line)
            ("a CA's leaf naming a CRL distribution point", self.signed(self.leaf), {"identity": IDENTITY}, True,
             "verifies"),
            ("the same under an intermediate it carries", self.signed(self.under, self.inter), {"identity": IDENTITY},
             True, "verifies"),
            ("the intermediate not carried", self.signed(self.under), {"identity": IDENTITY}, False,
             "the chain is incomplete: it ends at \"CN=Test Publisher,O=Test\", whose issuer \"CN=Test Intermediate\""),
            ("no anchor, its root not carried", self.signed(self.under), {"ca": False}, True, "matches the file"),
            ("the file changed after it was signed", bytes(changed), {"identity": IDENTITY}, False,
             "the file is not what was signed"),
            ("the file changed, no anchor", bytes(changed), {"ca": False}, False, "the file is not what was signed"),
            ("revoked by the CRL given", self.signed(self.leaf), {"identity": IDENTITY, "crl_file": crl_file}, False,
             "revoked by --crl"),
            ("a CRL that revokes nothing", self.signed(self.leaf), {"identity": IDENTITY, "crl_file": good_crl}, True,
             "verifies"),
            # every certificate of the chain, not only the signer's
            ("the intermediate revoked by its root's CRL", self.signed(self.under, self.inter),
             {"identity": IDENTITY, "crl_file": inter_revoked}, False,
             "revoked by --crl: \"CN=Test Intermediate\", by the CRL of \"CN=Test Root\""),
            ("each issuer's CRL given, nothing revoked", self.signed(self.under, self.inter),
             {"identity": IDENTITY, "crl_file": both_good}, True, "verifies"),
            ("no CRL given for the intermediate's issuer", self.signed(self.under, self.inter),
             {"identity": IDENTITY, "crl_file": inter_only}, False,
             "--crl holds no CRL of \"CN=Test Root\" for \"CN=Test Intermediate\""),
            ("the root's CRL signed by another key", self.signed(self.under, self.inter),
             {"identity": IDENTITY, "crl_file": forged}, False,
             "--crl holds no CRL of \"CN=Test Root\" for \"CN=Test Intermediate\""),
            ("no CRL given for the signer's issuer", self.signed(self.leaf),
             {"identity": IDENTITY, "crl_file": inter_only}, False,
             "--crl holds no CRL of \"CN=Test Root\" for \"CN=Test Publisher,O=Test\""),
            ("the certificate pinned", self.signed(self.leaf),
             {"cert_sha256": hashlib.sha256(self.leaf.public_bytes(support.serialization.Encoding.DER)).hexdigest()},
             True, "verifies"),
            ("another certificate pinned", self.signed(self.leaf), {"cert_sha256": "0" * 64}, False,
             "not the one given (--cert-sha256)"),
            # another customer of the same CA, its subject the publisher's but for case
            ("a look-alike subject", self.signed(self.other), {"identity": IDENTITY}, False,
             "its CN differs at character 2"),
            ("a CA's customer with no identity named", self.signed(self.leaf), {}, False, "give --identity SUBJECT"),
        ]
        for what, exe, anchors, verified, words in rows:
            with self.subTest(what):
                lines, result, _ = self.verdict(exe, **anchors)
                self.assertEqual(result.verified, verified, "\n".join(lines))
                self.assertLine(lines, words)
                if what.startswith("no anchor"):
                    self.assertFalse(any("not what was signed" in line for line in lines))
        self.assertEqual(self.counter.count, before, "a connection was made to the CRL distribution point")

    def test_closing_line_says_revocation_was_not_checked(self):
        _, result, ctx = self.verdict(self.signed(self.leaf), identity=IDENTITY)
        self.assertTrue(result.verified)
        closing = ctx.policy.closing(ctx.report, repr)
        self.assertIn("revocation NOT checked (no --crl", closing)

    def test_closing_line_names_the_certificates_checked_for_revocation(self):
        both = self.write("both.crl", support.crl(self.inter, self.inter_key) + support.crl(self.root, self.root_key))
        _, result, ctx = self.verdict(self.signed(self.under, self.inter), identity=IDENTITY, crl_file=both)
        self.assertTrue(result.verified)
        closing = ctx.policy.closing(ctx.report, repr)
        self.assertIn(f"revocation checked against {both!r} for every certificate below the roots: "
                      "\"CN=Test Intermediate\", \"CN=Test Publisher,O=Test\"", closing)

    def test_no_tool_runs_past_the_checks_deadline(self):
        exe = self.signed(self.leaf)
        ctx = support.context(self.tmp)
        ctx.limits.checks.end = 0
        self.assertEqual(ctx.tools.run(["osslsigncode", "--version"])[0], 124)
        self.assertTrue(os.path.isdir(self.tmp) and exe)


if __name__ == "__main__":
    unittest.main()
