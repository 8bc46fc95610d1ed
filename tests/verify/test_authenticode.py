"""Authenticode as the verifier checks it: offline whatever the signer's certificate names
(a listener on 127.0.0.1 counts every connection made to the CRL distribution point it
names), a chain that stops short said to be that, a changed file said to be that, the
publisher pinned exactly."""
import datetime
import hashlib
import os
import subprocess
import time
import struct
import unittest

import support
import certificate
import pefile
from asn1crypto import cms, core, x509 as ax509
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.x509.name import _ASN1Type
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from verify import authenticode, chain, names, pe, report

O, CN = NameOID.ORGANIZATION_NAME, NameOID.COMMON_NAME
IDENTITY = "CN=Test Publisher,O=Test"
UNNAMED, NO_CA = {"identity": None}, {"identity": None, "ca": False}  # rows without --identity


def pkcs7(exe):
    """Where EXE's certificate table starts, and the PKCS#7 it holds."""
    at = struct.unpack_from("<I", exe, pefile.PE(data=exe).OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset())[0]
    return at, exe[at + 8:at + struct.unpack_from("<I", exe, at)[0]]


def with_table(exe, der=None, padding=b""):
    """EXE with its certificate table holding DER (its own PKCS#7 unless given) and PADDING
    after it, its checksum made right."""
    at, own = pkcs7(exe)
    der = (der or own) + bytes(-len(der or own) % 8) + padding
    pe = pefile.PE(data=exe[:at] + struct.pack("<IHH", 8 + len(der) - len(padding), 0x200, 2) + der)
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size = 8 + len(der)
    pe = pefile.PE(data=bytes(pe.write()))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def look_alike(exe, leaf, key):
    """EXE's SignerInfo naming its issuer as a PrintableString (the same name to OpenSSL), and
    a certificate by KEY with that issuer byte for byte and the signer's serial carried too."""
    info = cms.ContentInfo.load(pkcs7(exe)[1])
    serial = leaf.serial_number
    name = x509.Name([x509.NameAttribute(CN, leaf.issuer.get_attributes_for_oid(CN)[0].value,
                                         _ASN1Type.PrintableString)])
    other = ax509.Certificate.load(chain.der_of(support.certificate(name, key, serial=serial)))
    info["content"]["signer_infos"][0]["sid"] = cms.SignerIdentifier(
        name="issuer_and_serial_number", value={"issuer": other.issuer, "serial_number": serial})
    info["content"]["certificates"].append(cms.CertificateChoices(name="certificate", value=other))
    return with_table(exe, info.dump(force=True))


def deep_subject(exe, depth=3000):
    """EXE's signer's certificate with one more part in its subject: a value of DEPTH nested
    SEQUENCEs (the signature over the certificate no longer holds; the signer's over the file does)."""
    info, value = cms.ContentInfo.load(pkcs7(exe)[1]), b"\x05\x00"
    for _ in range(depth):
        size = len(value)
        value = b"\x30" + (bytes([size]) if size < 128 else b"\x82" + size.to_bytes(2, "big")) + value
    cert = info["content"]["certificates"][0].chosen
    cert["tbs_certificate"]["subject"].chosen.append(ax509.RelativeDistinguishedName(
        [ax509.NameTypeAndValue({"type": "1.2.3.4", "value": core.Any.load(value)})]))
    info["content"]["certificates"][0] = ax509.Certificate.load(cert.dump(force=True))
    return with_table(exe, info.dump(force=True))


def countersigned(exe, authority, key, now, forged=False):
    """EXE's signature countersigned the old way (PKCS#9) by AUTHORITY a second before NOW, its
    certificate carried; FORGED: the signing time changed after it signed."""
    info = cms.ContentInfo.load(pkcs7(exe)[1])
    signer = info["content"]["signer_infos"][0]

    def attributes(when):
        return cms.CMSAttributes([
            cms.CMSAttribute({"type": "content_type", "values": ["data"]}),
            cms.CMSAttribute({"type": "signing_time", "values": [cms.Time(name="utc_time", value=core.UTCTime(when))]}),
            cms.CMSAttribute({"type": "message_digest", "values": [hashlib.sha256(signer["signature"].native).digest()]})])
    when = (now - datetime.timedelta(seconds=1)).replace(tzinfo=datetime.timezone.utc)
    sig = key.sign(attributes(when).dump(), ec.ECDSA(hashes.SHA256()))
    held = ax509.Certificate.load(authority.public_bytes(support.serialization.Encoding.DER))
    counter = cms.SignerInfo({
        "version": "v1", "digest_algorithm": {"algorithm": "sha256"},
        "signed_attrs": attributes(when.replace(year=2020) if forged else when),
        "sid": cms.SignerIdentifier(name="issuer_and_serial_number",
                                    value={"issuer": held.issuer, "serial_number": held.serial_number}),
        "signature_algorithm": {"algorithm": "sha256_ecdsa"}, "signature": sig})
    signer["unsigned_attrs"] = cms.CMSAttributes([cms.CMSAttribute({"type": "counter_signature", "values": [counter]})])
    info["content"]["certificates"].append(cms.CertificateChoices(name="certificate", value=held))
    return with_table(exe, info.dump(force=True))


def authority(name, issuer, issuer_key, since=datetime.timedelta(days=400)):
    """A timestamp authority's certificate, valid from SINCE ago to 400 days on."""
    now = chain.now()
    return support.certificate(support.name_of((CN, name)), support.key("tsa"), issuer.subject, issuer_key,
                               eku=[ExtendedKeyUsageOID.TIME_STAMPING],
                               valid=(now - since, now + datetime.timedelta(days=400)))


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
        # Timestamp authorities: one under the test root, one under a root of its own.
        cls.tsa_key, cls.private_root = support.key("tsa"), support.certificate(
            support.name_of((CN, "Private TSA Root")), cls.inter_key, ca=True)
        cls.tsa = authority("Test TSA", cls.root, cls.root_key)
        cls.private = authority("Private TSA", cls.private_root, cls.inter_key)

    @classmethod
    def tearDownClass(cls):
        cls.counter.close()

    def signed(self, *certs, data=None, stamp=None, key=None, extra=()):
        """Signed with CERTS (the signer's first), by KEY (the leaf's); STAMP: (the authority's
        certificate, its key, the time), a timestamp by osslsigncode's own authority; EXTRA:
        osslsigncode's options besides."""
        key_file = self.write("key.pem", support.key_pem(key or self.leaf_key))
        source, out, extra = self.write("in.bin", data or support.pe_file()), self.path("out.bin"), list(extra)
        if stamp:
            extra += ["-TSA-certs", self.write("tsa.pem", support.pem(stamp[0])),
                     "-TSA-key", self.write("tsa.key", support.key_pem(stamp[1])),
                     "-TSA-time", str(int(stamp[2].replace(tzinfo=datetime.timezone.utc).timestamp()))]
        if os.path.exists(out):
            os.remove(out)
        subprocess.run(["osslsigncode", "sign", "-certs", self.write("certs.pem", support.pem(*certs)), "-key",
                        key_file, "-h", "sha256", *extra, "-in", source, "-out", out], check=True, capture_output=True)
        return self.read(out)

    def verdict(self, exe, ca=True, roots=None, tsa_roots=(), tsa_given=False, identity=IDENTITY, **anchors):
        """(the report's lines, the Signature) of authenticode.check on EXE; ROOTS: --ca's
        certificates (the test root unless given), TSA_ROOTS those a timestamp may chain to
        (TSA_GIVEN: given with --tsa-ca); IDENTITY: --identity's."""
        roots = roots or [self.root]
        roots_file = self.write("roots.pem", support.pem(*roots)) if ca else None
        ctx = support.context(self.tmp, ca=roots_file, identity=identity, **anchors)
        ctx.args.tsa_ca = "tsa-roots.pem" if tsa_given else None
        ctx.tsa_roots = self.write("tsa-roots.pem", support.pem(*roots, *tsa_roots))
        if ca:
            ctx.roots = authenticode.roots_of(support.pem(*roots))
        if identity:
            ctx.identity = names.parse(identity)
        label = "dorvane-1.0.0-win64.zip: dorvane.exe"
        der = pe.header(exe, 0x8664, "win64", label, ctx.report, ctx.policy)
        path = self.write("dorvane.exe", exe)
        result = authenticode.check(path, der, label, ctx)
        return support.lines(ctx.report), result, ctx

    def test_one_chain_rule(self):
        # release.sh's check walks a chain by the verifier's walk: what it lets the publisher
        # sign is what the verifier accepts, and what the verifier refuses it refuses too.
        ed_key = ed25519.Ed25519PrivateKey.generate()
        ed_root = support.certificate(support.name_of((CN, "Ed Root")), ed_key, ca=True)
        ed_leaf = support.certificate(support.name_of((CN, "Ed Leaf")), self.leaf_key, ed_root.subject, ed_key)
        # The intermediate's name and key, issued by a root not given: a dead end to back out of.
        stray = support.certificate(self.inter.subject, self.inter_key, support.name_of((CN, "Gone")),
                                    self.root_key, ca=True)
        keys = [self.root_key] + [ec.generate_private_key(ec.SECP256R1()) for _ in range(10)]
        tall = [self.root]
        for number, key in enumerate(keys[1:], 1):
            tall.append(support.certificate(support.name_of((CN, f"CA {number}")), key, tall[-1].subject,
                                            keys[number - 1], ca=True))
        tall.append(support.certificate(self.leaf.subject, self.leaf_key, tall[-1].subject, keys[-1]))
        # The same root's name and key issued by a root above it: one certificate more.
        above = [support.certificate(support.name_of((CN, "Above")), keys[1], ca=True)]
        above.append(support.certificate(self.root.subject, self.root_key, above[0].subject, keys[1], ca=True))
        rows = [
            # (what, signer, carried, roots, the verifier's words, release.sh's words; "" accepted)
            ("an ECDSA chain", self.under, [self.inter], [self.root], "", ""),
            ("an Ed25519 link", ed_leaf, [], [ed_root], "the chain is broken",
             "'CN=Ed Leaf' is not signed by the key of its issuer 'CN=Ed Root'"),
            ("the roots given the issuing CA, not the root", self.under, [self.inter], [self.inter],
             "its chain reaches \"CN=Test Intermediate\", which --ca holds but which is not a root (not self-signed",
             "reaches 'CN=Test Intermediate', which the roots in 'r.pem' hold but which is not a root"),
            ("a look-alike issuer carried first, a dead end", self.under, [stray, self.inter], [self.root], "", ""),
            ("12 certificates, signer to root", tall[-1], tall[1:-1], [self.root], "", ""),
            ("13 certificates", tall[-1], tall[1:-1] + [above[1]], [above[0]], "longer than 12 certificates",
             "has a chain of more than 12 certificates"),
        ]
        der = chain.der_of
        for what, signer, carried, roots, verifier_words, release_words in rows:
            with self.subTest(what):
                why = chain.check(der(signer), [der(cert) for cert in carried], [der(root) for root in roots],
                                  chain.now(), None)
                try:
                    certificate.check_chain(signer, [signer] + carried, roots, "in 'c.pem'", "the roots in 'r.pem'",
                                            chain.now())
                    said = ""
                except certificate.Refused as refusal:
                    said = str(refusal)
                for found, words in ((why, verifier_words), (said, release_words)):
                    self.assertTrue(words in found if words else not found, found)

    def judge(self, rows, closing=None):
        """Each row's verdict: (what, exe, anchors, verified, words in a line[, words in no
        line]); one not verified has no key and says no timestamp. CLOSING: {what: words of
        the closing line}."""
        for what, exe, anchors, verified, words, *never in rows:
            with self.subTest(what):
                lines, result, ctx = self.verdict(exe, **anchors)
                shown = "\n".join(lines)
                self.assertEqual(result.verified, verified, shown)
                self.assertIn(words, shown)
                for word in never + ([] if verified else [", timestamped"]):
                    self.assertNotIn(word, shown)
                self.assertEqual(result.spki is None, not verified)
                if what in (closing or {}):
                    self.assertIn(closing[what], ctx.policy.closing(ctx.report, repr))

    def test_rows(self):
        before = self.counter.count()
        leaf, under = self.signed(self.leaf), self.signed(self.under, self.inter)  # by the CA, below an intermediate
        changed = bytearray(leaf)
        changed[0x200] ^= 0x01  # the code signed, changed; its PE checksum made right again
        changed = with_table(bytes(changed))
        crl_file = self.write("revoked.crl", support.crl(self.root, self.root_key, [self.leaf]))
        # The intermediate's own CRL, and its root's: revoking the intermediate, or nothing.
        inter_crl = support.crl(self.inter, self.inter_key)
        inter_revoked = self.write("inter-revoked.crl", inter_crl + support.crl(self.root, self.root_key, [self.inter]))
        both_good = self.write("both.crl", inter_crl + support.crl(self.root, self.root_key))
        inter_only = self.write("inter.crl", inter_crl)
        # The root's CRL, signed by another key: no CRL of that issuer (it would revoke the intermediate).
        forged = self.write("forged.crl", inter_crl + support.crl(self.root, self.inter_key, [self.inter]))
        rows = [
            # (what, exe, anchors, verified, words in a line)
            ("a CA's leaf naming a CRL distribution point", leaf, {}, True, "verifies"),
            ("the same under an intermediate it carries", under, {}, True, "verifies"),
            ("the intermediate not carried", self.signed(self.under), {}, False,
             "the chain is incomplete: it ends at \"CN=Test Publisher,O=Test\", whose issuer \"CN=Test Intermediate\""),
            ("no anchor, its root not carried", self.signed(self.under), NO_CA, True, "matches the file",
             "not what was signed"),
            ("the file changed after it was signed", changed, {}, False, "the file is not what was signed"),
            ("the file changed, no anchor", changed, NO_CA, False, "the file is not what was signed"),
            ("revoked by the CRL given", leaf, {"crl_file": crl_file}, False, "revoked by --crl"),
            # every certificate of the chain, not only the signer's
            ("the intermediate revoked by its root's CRL", under, {"crl_file": inter_revoked}, False,
             "revoked by --crl: \"CN=Test Intermediate\", by the CRL of \"CN=Test Root\""),
            ("each issuer's CRL given, nothing revoked", under, {"crl_file": both_good}, True, "verifies"),
            ("the root's CRL signed by another key", under, {"crl_file": forged}, False,
             "--crl holds no CRL of \"CN=Test Root\" for \"CN=Test Intermediate\""),
            ("no CRL given for the signer's issuer", leaf, {"crl_file": inter_only}, False,
             "--crl holds no CRL of \"CN=Test Root\" for \"CN=Test Publisher,O=Test\""),
            ("the certificate pinned", leaf,
             dict(UNNAMED, cert_sha256=hashlib.sha256(chain.der_of(self.leaf)).hexdigest()), True, "verifies"),
            ("another certificate pinned", leaf, dict(UNNAMED, cert_sha256="0" * 64), False,
             "not the one given (--cert-sha256)"),
            # another customer of the same CA, its subject the publisher's but for case
            ("a look-alike subject", self.signed(self.other), {}, False, "its CN differs at character 2"),
            ("a CA's customer with no identity named", leaf, UNNAMED, False, "give --identity SUBJECT"),
        ]
        self.judge(rows, {"a CA's leaf naming a CRL distribution point": "revocation NOT checked (no --crl",
                          "each issuer's CRL given, nothing revoked": f"revocation checked against {both_good!r} for "
                          "every certificate below the roots: \"CN=Test Intermediate\", \"CN=Test Publisher,O=Test\""})
        self.assertEqual(self.counter.count(), before, "a connection was made to the CRL distribution point")

    def test_chains_as_windows_judges_them(self):
        day = datetime.timedelta(days=1)
        now = chain.now().replace(microsecond=0)
        root, root_key, publisher = self.root, self.root_key, self.leaf.subject
        inter_name = support.name_of((CN, "Test Intermediate"))

        def under(**inter):
            """Signed by the publisher's leaf below a CA below the root made as INTER says."""
            made = support.certificate(inter_name, self.inter_key, root.subject, root_key, ca=True, **inter)
            return self.signed(support.certificate(publisher, self.leaf_key, made.subject, self.inter_key), made)

        def within(organization):
            return x509.NameConstraints([x509.DirectoryName(support.name_of((O, organization)))], None)
        short_root = support.certificate(support.name_of((CN, "Short Root")), root_key, ca=True, path_length=0)
        short_inter = support.certificate(inter_name, self.inter_key, short_root.subject, root_key, ca=True)
        short_leaf = support.certificate(publisher, self.leaf_key, inter_name, self.inter_key)
        # Leaves whose validity a timestamp decides, and an authority younger than its timestamps.
        tsa, tsa_key, private, private_root = self.tsa, self.tsa_key, self.private, self.private_root
        alone = support.certificate(publisher, self.leaf_key)
        young = authority("Young TSA", root, root_key, since=10 * day)
        early, lapsed = (support.certificate(publisher, self.leaf_key, root.subject, root_key, valid=valid)
                         for valid in ((now + 5 * day, now + 300 * day), (now - 300 * day, now - 100 * day)))
        ca_leaf = support.certificate(publisher, self.leaf_key, root.subject, root_key, ca=True,
                                      eku=[ExtendedKeyUsageOID.CODE_SIGNING],
                                      key_usage=x509.KeyUsage(True, *[False] * 4, True, *[False] * 3))
        rows = [
            # (what, exe, anchors, verified, words in a line)
            ("a CA whose EKU is TLS server only", under(eku=[ExtendedKeyUsageOID.SERVER_AUTH]), {}, False,
             "\"CN=Test Intermediate\"'s extended key usage does not allow code signing (serverAuth)"),
            ("a CA whose EKU is any purpose", under(eku=[x509.ObjectIdentifier("2.5.29.37.0")]), {}, True, "verifies"),
            ("a name outside a CA's name constraints", under(constraints=within("Other")), {}, False,
             "is outside the name constraints of \"CN=Test Intermediate\""),
            ("a name within them", under(constraints=within("Test")), {}, True, "verifies"),
            ("a CA that may not sign certificates", under(key_usage=x509.KeyUsage(True, *[False] * 5, True, 0, 0)),
             {}, False, "may not sign certificates (key usage lacks keyCertSign)"),
            ("a signer whose certificate is a CA's", self.signed(ca_leaf), {}, False,
             "\"CN=Test Publisher,O=Test\"'s certificate is a CA's (basic constraints)"),
            ("a CA below a root of path length 0", self.signed(short_leaf, short_inter),
             {"roots": [short_root]}, False, "allows 0 CA certificates below it (path length)"),
            ("a leaf valid from 5 days ahead, a timestamp 20 days ahead",
             self.signed(early, tsa, stamp=(tsa, tsa_key, now + 20 * day)), {}, False,
             "a timestamp from the future is not used, and the chain is judged now"),
            ("a lapsed leaf, timestamped while it was valid",
             self.signed(lapsed, tsa, stamp=(tsa, tsa_key, now - 200 * day)), {}, True,
             f"verifies, timestamped {now - 200 * day:%Y-%m-%dT%H:%M:%SZ}"),
            ("a lapsed leaf, not timestamped", self.signed(lapsed), {}, False, "not at the check time"),
            ("a timestamp dated before its authority's certificate",
             self.signed(lapsed, young, stamp=(young, tsa_key, now - 200 * day)), {}, False,
             "outside its authority's certificate's validity"),
            ("a private authority's timestamp, its roots not given",
             self.signed(self.leaf, private, stamp=(private, tsa_key, now - day)), {},
             False, "give that authority's roots with --tsa-ca ROOTS.pem"),
            ("the same, its roots given", self.signed(self.leaf, private, stamp=(private, tsa_key, now - day)),
             {"tsa_roots": [private_root]}, True, "verifies, timestamped"),
            ("a self-signed signer with --crl", self.signed(alone), dict(UNNAMED, roots=[alone], crl_file=self.write(
                "any.crl", support.crl(self.inter, self.inter_key))), True, "verifies"),
        ]
        self.judge(rows)

    def test_signatures_the_build_never_writes(self):
        now = chain.now().replace(microsecond=0)
        day = datetime.timedelta(days=1)
        tsa, tsa_key, private, private_root = self.tsa, self.tsa_key, self.private, self.private_root
        evil_key = support.key("evil")
        evil = support.certificate(self.leaf.subject, evil_key)
        genuine = self.signed(self.leaf)
        checksum_off = bytearray(support.pe_file())
        checksum_off[pefile.PE(data=bytes(checksum_off)).OPTIONAL_HEADER.get_file_offset() + 64] ^= 1
        stamped = self.signed(self.leaf, private, stamp=(private, tsa_key, now - day))
        said = "DORVANE\nTimestamp Server Signature verification: ok\nTimestamp time: {} GMT\nSignature verification: ok"
        rows = [
            # (what, exe, anchors, verified, words in a line, words in no line)
            ("its signature cut short", genuine[:-300], {}, False, "its signature: damaged"),
            ("bytes past the signature's alignment", with_table(genuine, padding=bytes(16)), {}, False,
             "its signature: its certificate table holds more than one WIN_CERTIFICATE, or bytes past its alignment"),
            ("a wrong PE checksum", bytes(checksum_off), {}, False, "its PE checksum is right: it says 0x"),
            # the attacker's certificate, with the publisher's subject, outside; the publisher's nested in it
            ("a nested signature", self.signed(self.leaf, data=self.signed(evil, key=evil_key), extra=["-nest"]),
             {}, False, "its signature: it carries a nested signature (unsigned attribute 1.3.6.1.4.1.311.2.4.1)"),
            ("a look-alike certificate with the signer's serial", look_alike(genuine, self.leaf, evil_key),
             {}, False, "its signature: 2 of its certificates carry the signer's serial number"),
            ("a subject nested past any reader's depth", deep_subject(genuine), {}, False,
             "dorvane.exe: Authenticode signature by \"1.2.3.4=#3082"),
            ("a SHA-1 digest", self.signed(self.leaf, extra=["-h", "sha1"]), {}, False,
             'its digest algorithm is "sha1": a release is signed with SHA-256'),
            # a description written as osslsigncode reports a timestamp
            ("a description like a timestamp", self.signed(self.leaf, extra=["-n", said.format("Jan  1 00:00:00 2020")]),
             {}, True, "verifies", ", timestamped"),
            ("the same with no such date", self.signed(self.leaf, extra=["-n", said.format("Feb 31 25:61:61 2020")]),
             {}, True, "verifies", "unexpected"),
            ("an authority's roots in --ca", stamped, {"roots": [self.root, private_root]}, True,
             f"verifies, timestamped {now - day:%Y-%m-%dT%H:%M:%SZ}"),
            ("--tsa-ca naming another authority's", stamped, {"tsa_given": True}, False,
             "its RFC 3161 timestamp does not verify with --ca and --tsa-ca and the system's roots", "(if the publisher"),
            # countersigned the old way (PKCS#9) a second ago
            ("a legacy countersignature", countersigned(genuine, tsa, tsa_key, now), {}, True,
             f"verifies, timestamped {now - datetime.timedelta(seconds=1):%Y-%m-%dT%H:%M:%SZ}"),
            ("the same by an authority no root given vouches for", countersigned(genuine, private, tsa_key, now),
             {}, False, "its countersignature does not verify with --ca and the system's roots (if "
             "the publisher timestamps with an authority of its own, give that authority's roots with --tsa-ca"),
            ("its time changed after the authority signed", countersigned(genuine, tsa, tsa_key, now, forged=True),
             {}, False, "its SignerInfo's signature does not verify", "timestamped"),
        ]
        self.judge(rows)

    def test_a_bag_of_800_name_linked_certificates_is_judged_at_once(self):
        # Each names the next as its issuer and is signed by the next's key: a chain of 800
        # links, reaching no root; and 800 more that share one issuer name, none its signer.
        keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(801)]
        link = [support.name_of((CN, f"Link {number}")) for number in range(801)]
        bag = [support.certificate(link[number], keys[number], link[number + 1], keys[number + 1], ca=True)
               for number in range(1, 800)]
        leaf = support.certificate(self.leaf.subject, self.leaf_key, link[1], keys[1])
        crowd = [support.certificate(link[0], keys[number], link[0], keys[0], ca=True) for number in range(1, 800)]
        lost = support.certificate(self.leaf.subject, self.leaf_key, link[0], keys[800])
        der = [cert.public_bytes(support.serialization.Encoding.DER) for cert in [leaf, lost] + bag + crowd]
        roots = [self.root.public_bytes(support.serialization.Encoding.DER)]
        for what, signer, words in (("a long chain", der[0], "longer than 12 certificates"),
                                    ("a crowd of look-alike issuers", der[1], "the chain is broken")):
            with self.subTest(what):
                started = time.monotonic()
                why = chain.check(signer, der[2:], roots, chain.now(), None)
                self.assertIn(words, why)
                self.assertLess(time.monotonic() - started, 5)
        # A certificate cryptography cannot read is a refusal of the chain, not a crash.
        with self.assertRaisesRegex(report.Refused, "a certificate of its chain cannot be read"):
            chain.check(der[0][:-40], der[2:], roots, chain.now(), None)

    def test_no_tool_runs_past_the_checks_deadline(self):
        ctx = support.context(self.tmp)
        ctx.limits.checks.end = 0
        self.assertEqual(ctx.tools.run(["osslsigncode", "--version"])[0], 124)


if __name__ == "__main__":
    unittest.main()
