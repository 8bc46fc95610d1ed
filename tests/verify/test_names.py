"""--identity matches the signer's subject exactly: look-alikes that X.509's name matching
folds together are other customers of the same CA, and never match."""
import subprocess
import unittest

import support
from asn1crypto import x509 as asn1_x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import NameOID

from verify import names

O, CN, OU = NameOID.ORGANIZATION_NAME, NameOID.COMMON_NAME, NameOID.ORGANIZATIONAL_UNIT_NAME
GIVEN = "CN=Test Publisher,O=Test"


def subject(*pairs):
    cert = support.certificate(support.name_of(*pairs), support.key("leaf"))
    return asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER))


class Identity(unittest.TestCase):
    # (what the certificate's subject is, given, matches, words the refusal must hold[, whether the
    #  report shows the subject as the text given])
    rows = [
        ("the same text as a PrintableString", [(O, "Test", _ASN1Type.PrintableString),
                                                (CN, "Test Publisher", _ASN1Type.PrintableString)], GIVEN, True, ""),
        ("fullwidth letters", [(O, "Test"), (CN, "\uff34\uff45\uff53\uff54 Publisher")], GIVEN, False,
         "FULLWIDTH LATIN CAPITAL LETTER T"),
        ("a soft hyphen inside", [(O, "Test"), (CN, "Test Pub\u00adlisher")], GIVEN, False, "U+00AD SOFT HYPHEN in CN"),
        ("a zero-width space inside", [(O, "Test"), (CN, "Test\u200b Publisher")], GIVEN, False, "U+200B ZERO WIDTH SPACE"),
        ("a right-to-left mark alone", [(O, "Test\u200f"), (CN, "Test Publisher")], GIVEN, False, "never matches"),
        ("extra spaces", [(O, "Test"), (CN, "Test  Publisher")], GIVEN, False, "character 6"),
        ("a trailing space", [(O, "Test"), (CN, "Test Publisher ")], GIVEN, False, "character 15"),
        ("the parts in the other order", [(CN, "Test Publisher"), (O, "Test")], GIVEN, False, "O where --identity has CN"),
        ("one part more", [(O, "Test"), (OU, "Signing"), (CN, "Test Publisher")], GIVEN, False, "3 parts"),
        ("escaped specials", [(O, "Test, Inc."), (CN, "A+B \"Q\"")], 'CN=A\\+B \\"Q\\",O=Test\\, Inc.', True, ""),
        ("UTF-8 as OpenSSL escapes it", [(O, "Test"), (CN, "J\u00fcrgen")], "CN=J\\C3\\BCrgen,O=Test", True, ""),
        # what the report prints: the RFC 4514 text itself, not JSON's escapes of it; what would
        # not show as itself (a zero-width space, a control character) as its UTF-8 bytes
        ("shown as itself", [(NameOID.COUNTRY_NAME, "EE"), (O, "N\u00e4ide, O\u00dc"),
                             (CN, "J\u00fcrgen \\ \"Q\"")], 'CN=J\u00fcrgen \\\\ \\"Q\\",O=N\u00e4ide\\, O\u00dc,C=EE', True, "", True),
        ("shown as its UTF-8 bytes", [(O, "Test"), (CN, "Test\u200b Pub\x07")], "CN=Test\\E2\\80\\8B Pub\\07,O=Test",
         False, "U+200B ZERO WIDTH SPACE in CN), which never matches", True),
    ]

    def test_rows(self):
        for what, pairs, given, matches, words, *shown in self.rows:
            with self.subTest(what):
                found = names.of_certificate(subject(*pairs).subject)
                why = names.mismatch(names.parse(given), found)
                self.assertEqual(why == "", matches, why)
                self.assertIn(words, why)
                self.assertTrue(not shown or names.quoted(found) == f'"{given}"', names.quoted(found))

    def test_openssl_rfc2253_output_matches_its_certificate(self):
        # What release.sh passes: OpenSSL's own rendering of the signer's subject.
        asn1 = subject((NameOID.COUNTRY_NAME, "EE"), (O, "Näide, OÜ"), (CN, "#Test + Publisher "))
        text = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-subject", "-nameopt", "RFC2253"],
                              input=asn1.dump(), capture_output=True, check=True).stdout.decode().strip()
        parsed = names.parse(text.split("=", 1)[1])
        self.assertEqual(names.mismatch(parsed, names.of_certificate(asn1.subject)), "")
        self.assertEqual(names.text(names.of_certificate(asn1.subject)), names.text(parsed))

    def test_refused_forms(self):
        # OpenSSL's one-line form is refused with how to get RFC 4514; what `openssl x509
        # -subject` prints, pasted whole, with what to drop.
        one_line = "(?s)OpenSSL's default one-line form.*-nameopt RFC2253"
        for given, words in (("/O=Test/CN=Test Publisher", ""), ("CN", ""), ("XX=1", ""), ("CN=a\\qb", ""),
                             ("CN=", ""), ("CN=a;b", ""), ("CN = Test Publisher, O = Test", one_line),
                             ('C = EE, O = "N\u00e4ide, O\u00dc", CN = Test', one_line),
                             ("subject=CN = Test Publisher, O = Test", one_line),
                             ('CN="Test Publisher",O=Test', one_line),
                             ("subject=CN=Test Publisher,O=Test", "subject=")):
            with self.subTest(given), self.assertRaisesRegex(ValueError, words):
                names.parse(given)


if __name__ == "__main__":
    unittest.main()
