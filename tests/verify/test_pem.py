"""The one PEM rule, in every Python reader of PEM files the project has: the verifier's roots
(--ca, --tsa-ca) and CRLs (--crl), and release.sh's check of a signer's files. A block that
does not end, or ends with another kind's line, refuses the whole file, as OpenSSL refuses
it; none is skipped."""
import support
import certificate
from cryptography.x509.oid import NameOID

from verify import authenticode


class PemRule(support.Scratch):
    @classmethod
    def setUpClass(cls):
        cls.key = support.key("root")
        cls.root = support.certificate(support.name_of((NameOID.COMMON_NAME, "PEM Root")), cls.key, ca=True)

    def test_every_reader(self):
        cert, crl = support.pem(self.root), support.crl(self.root, self.key)
        readers = [
            ("the verifier's roots", cert, authenticode.roots_of, ValueError),
            ("the verifier's CRLs", crl, authenticode.crls_of, ValueError),
            ("release.sh's certificate files", cert,
             lambda data: certificate.pem_certificates(self.write("given.pem", data), "the roots"), certificate.Refused),
        ]
        for reader, good, read, refusal in readers:
            kind = good.split(b"-----")[1][len(b"BEGIN "):].decode()
            begun = f"-----BEGIN {kind}-----\nMAA=\n".encode()
            with self.subTest(reader + ": two good blocks"):
                self.assertEqual(len(read(good + good)), 2)
            unreadable = f"-----BEGIN {kind}-----\nAAAA\n-----END {kind}-----\n".encode()
            for name, data in (("a last block that does not end", good + begun), ("a block that cannot be read",
                                                                                  good + unreadable),
                               ("a block that does not end before a good one", begun + good),
                               ("a block ended as another kind", good + good.replace(b"END " + kind.encode(),
                                                                               b"END PUBLIC KEY"))):
                with self.subTest(f"{reader}: {name}"), self.assertRaises(refusal):
                    read(data)
