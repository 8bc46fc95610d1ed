"""Authenticode signatures of the exe and the MSI. The PKCS#7 is read with asn1crypto and its
SignerInfo checked with cryptography; what the signature covers is compared with what
osslsigncode computes from the file (extract-data); the chain to --ca's roots is
osslsigncode's verify, offline: no CRL distribution point is ever fetched (-ignore-cdp),
revocation is checked only against the CRLs the user gives (--crl), for every certificate of
the chain below the roots. Of osslsigncode only exit statuses count: a signature's
description, URL and names are the signer's text."""
import collections
import datetime
import hashlib
import os

from . import contract, names
from .report import Refused, q
from .tools import OSSLSIGNCODE_NEEDED

try:
    from asn1crypto import cms as asn1_cms, core as asn1_core, x509 as asn1_x509
    from asn1crypto import parser as asn1_parser, pem as asn1_pem, tsp as asn1_tsp
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
    from . import chain
except ImportError:
    asn1_cms = None

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TOKEN = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
MSI_DSE_STREAM = "\x05MsiDigitalSignatureEx"
MAX_CARRIED = 32   # certificates a signature carries whose chains are followed for --crl


def available():
    return asn1_cms is not None


def certificates_pem(ders):
    """Certificates (DER) as one PEM file, written afresh."""
    return "".join(asn1_pem.armor("CERTIFICATE", der).decode() for der in ders).encode()


def pem_blocks(pem_bytes):
    """(kind, DER) of every block of a PEM file, by the project's one PEM rule: ValueError when
    one cannot be read, does not end, or ends with another kind's line (OpenSSL would then
    refuse the whole file; a reader that skipped it would use less than the file holds)."""
    try:
        blocks = [(kind, der) for kind, _, der in asn1_pem.unarmor(pem_bytes, multiple=True)]
    except ValueError as error:
        raise ValueError(f"it is not PEM that can be read ({str(error).splitlines()[0][:120]})") from None
    kinds = collections.Counter(kind for kind, _ in blocks)
    if pem_bytes.count(b"-----BEGIN ") != len(blocks) or \
            any(pem_bytes.count(f"-----END {kind}-----".encode()) != count for kind, count in kinds.items()):
        raise ValueError(f"it has a PEM block that does not end after its {len(blocks)} that do")
    return blocks


def roots_of(pem_bytes):
    """The DER of every certificate in a PEM file; ValueError when a block of it is not a
    certificate that can be read, or breaks the PEM rule (pem_blocks)."""
    found = []
    for number, (kind, der) in enumerate(pem_blocks(pem_bytes), 1):
        if kind == "CERTIFICATE":
            try:
                x509.load_der_x509_certificate(der)
            except ValueError:
                raise ValueError(f"its PEM block {number} is not a certificate that can be read") from None
            found.append(der)
    return found


def indirect_content(encapsulated):
    """The DER of the SpcIndirectDataContent an Authenticode SignedData encapsulates, and
    the contents octets that its message digest covers."""
    wrapped = asn1_parser.parse(encapsulated["content"].dump(), strict=True)
    while wrapped[0] == 2 and wrapped[2] == 0:  # the [0] EXPLICIT around it
        wrapped = asn1_parser.parse(wrapped[4], strict=True)
    return wrapped[3] + wrapped[4], wrapped[4]


class Parsed:
    """One Authenticode signature as its structure says: the signer's certificate (found by
    the SignerInfo's issuer and serial, as OpenSSL finds it), the certificates it carries,
    the content it signs, its signature value and its one timestamp, if any."""

    def __init__(self, der):
        try:
            info = asn1_cms.ContentInfo.load(der, strict=True)
            if info["content_type"].native != "signed_data":
                raise Refused("not a PKCS#7 SignedData")
            signed = info["content"]
            if signed["encap_content_info"]["content_type"].dotted != SPC_INDIRECT_DATA:
                raise Refused("it signs no Authenticode content (SpcIndirectDataContent)")
            infos = list(signed["signer_infos"])
            if len(infos) != 1:
                raise Refused(f"{len(infos)} SignerInfos: a release file is signed by exactly one signer")
            signer = infos[0]
            # What the build signs with; a weaker or other digest is not its signature.
            algorithm = signer["digest_algorithm"]["algorithm"].native
            if algorithm != "sha256":
                raise Refused(f"its digest algorithm is {q(algorithm)}: a release is signed with SHA-256")
            self.stamps = []
            unsigned = signer["unsigned_attrs"]
            for attribute in [] if isinstance(unsigned, asn1_core.Void) else unsigned:
                oid = attribute["type"].dotted
                if oid == NESTED_SIGNATURE:
                    raise Refused(f"it carries a nested signature (unsigned attribute {NESTED_SIGNATURE}): "
                                  "a release file carries exactly one")
                if oid not in (RFC3161_TOKEN, COUNTERSIGNATURE) or len(attribute["values"]) != 1:
                    raise Refused(f"its unsigned attribute {q(oid)} is not a timestamp")
                self.stamps.append((oid, attribute["values"][0].dump()))
            if len(self.stamps) > 1:
                raise Refused(f"{len(self.stamps)} timestamps: a release file has at most one")
            self.certificates = [choice.chosen for choice in signed["certificates"] if choice.name == "certificate"]
            self.cert = certificate_of(signer, self.certificates)
            self.spki = self.cert.public_key.dump()
            self.signature = signer["signature"].native
            self.content, covered = indirect_content(signed["encap_content_info"])
            # The SignerInfo's own signature over its attributes, with the certificate found,
            # and its message digest over the content: the certificate named is the one that signed.
            signed_by(signer, self.cert, covered, "the content it signs")
        except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
            raise Refused(f"damaged: not a PKCS#7 signature ({q(str(error).splitlines()[0][:160])})")


def signed_by(signer, cert, content, what):
    """Refused unless SIGNER (a SignerInfo) carries the digest of CONTENT among its signed
    attributes and its signature over them verifies with CERT's key."""
    algorithm = signer["digest_algorithm"]["algorithm"].native
    known = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512, "sha1": hashes.SHA1}
    if algorithm not in known:
        raise Refused(f"its digest algorithm {q(algorithm)} is not one this verifier knows")
    attributes = signer["signed_attrs"]
    digests = [a["values"] for a in attributes if a["type"].native == "message_digest"]
    if len(digests) != 1 or len(digests[0]) != 1:
        raise Refused("its SignerInfo has no single message digest")
    if hashlib.new(algorithm, content).digest() != digests[0][0].native:
        raise Refused(f"its message digest is not that of {what}")
    message = b"\x31" + attributes.dump()[1:]  # signed as a SET OF, not as its [0] tag
    key = serialization.load_der_public_key(cert.public_key.dump())
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(signer["signature"].native, message, padding.PKCS1v15(), known[algorithm]())
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signer["signature"].native, message, ec.ECDSA(known[algorithm]()))
        else:
            raise Refused("its signer's key is neither RSA nor EC")
    except InvalidSignature:
        raise Refused("its SignerInfo's signature does not verify with the certificate it names")


def certificate_of(signer, certificates):
    """The one certificate among CERTIFICATES that SIGNER names by issuer and serial."""
    sid = signer["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Refused("its SignerInfo names its certificate by key identifier, not by issuer and serial")
    issuer, serial = sid.chosen["issuer"], sid.chosen["serial_number"].native
    # Two certificates with the signer's serial could be told apart by how names compare;
    # no genuine signature carries two, so none is chosen.
    same = [cert for cert in certificates if cert.serial_number == serial]
    if len(same) > 1:
        raise Refused(f"{len(same)} of its certificates carry the signer's serial number: which one signed is ambiguous")
    if not same or same[0].issuer != issuer:
        raise Refused("it carries no certificate with its SignerInfo's issuer and serial")
    return same[0]


def pkcs7_of_msi(path, ctx):
    """The DER of an MSI's signature, or None when it has none that can be read."""
    out = ctx.tools.scratch(".p7")
    status, _ = ctx.tools.run(["osslsigncode", "extract-signature", "-in", path, "-out", out])
    if status != 0 or not os.path.isfile(out):
        return None
    with open(out, "rb") as handle:
        return handle.read(1 << 20)


def msi_pkcs7(path, streams, ctx):
    """An MSI's signature as check() takes it: its DER, None when it holds no signature
    stream, a Refused (a damaged signature) when it holds one that osslsigncode cannot read
    or an extended signature stream without one. STREAMS: its streams' names (None: not
    known, so osslsigncode's reading alone)."""
    signature, extended = (name for name in contract.load()["msi"]["signature_streams"])
    der = pkcs7_of_msi(path, ctx)
    if streams is None or der is not None:
        return der
    if signature in streams:
        return Refused(f"damaged: its {q(signature)} stream holds no signature osslsigncode can read")
    if extended in streams:
        return Refused(f"damaged: it holds the extended signature's stream {q(extended)} without a signature "
                       f"({q(signature)})")
    return None


def what_the_file_is(path, parsed, dse, ctx):
    """Why the file is not what was signed, or "": the SpcIndirectDataContent the signature
    carries must be the one osslsigncode computes from the file (its digest, and nothing
    else: no page hashes the build does not write). DSE: whether the MSI has the extended
    signature's stream, whose metadata the digest then covers (None: not known, so both)."""
    for extended in ([dse] if dse is not None else [False, True]):
        out = ctx.tools.scratch(".p7")
        status, _ = ctx.tools.run(["osslsigncode", "extract-data", "-h", "sha256"]
                                  + (["-add-msi-dse"] if extended else []) + ["-in", path, "-out", out])
        if status != 0 or not os.path.isfile(out):
            return "its digest cannot be computed here (osslsigncode extract-data failed)"
        with open(out, "rb") as handle:
            computed = asn1_cms.ContentInfo.load(handle.read(1 << 20), strict=True)
        content, _ = indirect_content(computed["content"]["encap_content_info"])
        if content == parsed.content:
            return ""
    return "the file is not what was signed: its digest is not the one its signature holds"


def crls_of(pem_bytes):
    """The CRLs of a PEM file (cryptography's); ValueError when it holds none, or breaks the
    PEM rule (pem_blocks)."""
    found = [x509.load_der_x509_crl(der) for kind, der in pem_blocks(pem_bytes) if kind == "X509 CRL"]
    if not found:
        raise ValueError("no PEM CRL (-----BEGIN X509 CRL-----)")
    return found


def issued_by(cert, issuer):
    """Whether ISSUER's name and key made CERT's signature (the one rule of chain.signed)."""
    return cert.issuer == issuer.subject and chain.signed(cert, issuer)


def crl_signed_by(crl, issuer):
    """Whether ISSUER's key made the CRL's signature."""
    try:
        return crl.is_signature_valid(issuer.public_key())
    except (UnsupportedAlgorithm, TypeError, ValueError):
        return False


def chain_below_roots(parsed, roots):
    """{certificate: [its issuers]} of every certificate on any path from the signer's up to
    --ca's roots through the certificates the signature carries, the roots left out: those
    whose revocation counts. None when a path cannot be followed to a root, or the signature
    carries more certificates than any chain needs (each is tried against every other)."""
    if len(parsed.certificates) > MAX_CARRIED:
        return None
    pool = [x509.load_der_x509_certificate(cert.dump()) for cert in parsed.certificates]
    trusted = [x509.load_der_x509_certificate(der) for der in roots]
    trusted_der = set(roots)
    start = x509.load_der_x509_certificate(parsed.cert.dump())
    found, todo = {}, [start]
    while todo:
        cert = todo.pop()
        if cert.public_bytes(serialization.Encoding.DER) in trusted_der or cert in found:
            continue
        issuers = [other for other in pool + trusted if other != cert and issued_by(cert, other)]
        if not issuers:
            return None
        found[cert] = issuers
        todo += issuers
    return found


def revocation_refused(parsed, ctx):
    """Why the chain is not cleared by the CRLs given (--crl), or "": every certificate below
    the roots needs a CRL from its issuer (by name, signed with that issuer's key, complete,
    current) that does not list it. Records the certificates checked for the closing line."""
    policy = ctx.policy
    if ctx.crls is None:
        with open(policy.crl, "rb") as handle:
            ctx.crls = crls_of(handle.read(ctx.limits.file))
    below = chain_below_roots(parsed, ctx.roots)
    if below is None:
        return "its chain cannot be followed to --ca's roots here to check revocation (--crl)"
    now = chain.now()
    problems, checked = [], []
    for cert, issuers in below.items():
        held = asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER))
        subject, issuer = (names.quoted(names.of_certificate(name)) for name in (held.subject, held.issuer))
        lists, stale = [], []
        for crl in ctx.crls:
            if crl.issuer != cert.issuer or not any(crl_signed_by(crl, other) for other in issuers):
                continue
            if any(isinstance(extension.value, (x509.IssuingDistributionPoint, x509.DeltaCRLIndicator))
                   for extension in crl.extensions):
                continue  # for part of its issuer's certificates only: it cannot clear one
            if crl.next_update is None or crl.next_update < now or crl.last_update > now:
                stale.append(crl)
                continue
            lists.append(crl)
        if any(crl.get_revoked_certificate_by_serial_number(cert.serial_number) is not None for crl in lists + stale):
            problems.append(f"revoked by --crl: {subject}, by the CRL of {issuer}")
        elif not lists:
            problems.append(f"--crl holds no {'current ' if stale else ''}CRL of {issuer} for {subject}")
        checked.append(subject)
    done = ctx.report.facts.setdefault("revocation", [])
    done += [subject for subject in checked if subject not in done]
    return "; ".join(problems[:3])


def tsa_anchors(ctx):
    """The roots a timestamp was held to, as the command line named them, and, when the
    publisher's own authority's roots were not given, how to give them."""
    given = [option for option, value in (("--ca", ctx.policy.ca), ("--tsa-ca", ctx.args.tsa_ca)) if value]
    held = " and ".join(given + ["the system's roots"])
    if not ctx.args.tsa_ca:
        held += (" (if the publisher timestamps with an authority of its own, give that authority's roots "
                 "with --tsa-ca ROOTS.pem, as the publisher publishes them)")
    return held


def stamp_time(when, authority, ctx):
    """(WHEN as the check time, or None; why it is not one): a timestamp counts only when it
    is not after now and lies within its authority's certificate's validity; otherwise the
    chain is judged now."""
    now = chain.now()
    when = when.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    if when > now + datetime.timedelta(minutes=5):
        return None, (f"its timestamp is dated {when:%Y-%m-%dT%H:%M:%SZ}, after now ({now:%Y-%m-%dT%H:%M:%SZ}): "
                      "a timestamp from the future is not used, and the chain is judged now")
    validity = authority["tbs_certificate"]["validity"]
    start, end = (validity[edge].native.astimezone(datetime.timezone.utc).replace(tzinfo=None)
                  for edge in ("not_before", "not_after"))
    if not start <= when <= end:
        return None, (f"its timestamp is dated {when:%Y-%m-%dT%H:%M:%SZ}, outside its authority's certificate's "
                      f"validity ({start:%Y-%m-%d} to {end:%Y-%m-%d}): it is not used, and the chain is judged now")
    return when, ""


def timestamp_of(parsed, ctx):
    """(when, a naive UTC datetime to judge the chain at, or None; why the timestamp does not
    count, or ""). The time is read from the structure, and only once the token verifies."""
    if not parsed.stamps:
        return None, ""
    oid, der = parsed.stamps[0]
    if oid == COUNTERSIGNATURE:
        return countersigned(parsed, der, ctx)
    try:
        token = asn1_cms.ContentInfo.load(der, strict=True)
        content = token["content"]["encap_content_info"]
        if content["content_type"].native != "tst_info":
            raise ValueError("not a TSTInfo")
        when = asn1_tsp.TSTInfo.load(bytes(content["content"]), strict=True)["gen_time"].native
        signers = list(token["content"]["signer_infos"])
        if len(signers) != 1:
            raise ValueError(f"{len(signers)} SignerInfos")
        carried = {choice.chosen.dump(): choice.chosen for choice in token["content"]["certificates"]
                   if choice.name == "certificate"}
        carried.update((cert.dump(), cert) for cert in parsed.certificates)
        authority = certificate_of(signers[0], list(carried.values()))
    except Refused as refusal:
        return None, f"its RFC 3161 timestamp's authority is not carried: {refusal}"
    except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
        return None, f"its RFC 3161 timestamp is not understood: {q(str(error).splitlines()[0][:120])}"
    token_file, data_file = ctx.tools.write(".tsr", der), ctx.tools.write(".bin", parsed.signature)
    status, _ = ctx.tools.run(["openssl", "ts", "-verify", "-token_in", "-in", token_file, "-data", data_file,
                               "-CAfile", ctx.tsa_roots])
    if status != 0:
        return None, f"its RFC 3161 timestamp does not verify with {tsa_anchors(ctx)}"
    return stamp_time(when, authority, ctx)


def countersigned(parsed, der, ctx):
    """timestamp_of() for a legacy (PKCS#9) countersignature: a SignerInfo by a timestamp
    authority's certificate, carried with the signer's, over the digest of the signature;
    its signingTime is the time, once its signature verifies and its certificate chains to
    the roots for time stamping."""
    refused = f"its countersignature does not verify with {tsa_anchors(ctx)}"
    try:
        signer = asn1_cms.SignerInfo.load(der, strict=True)
        cert = certificate_of(signer, parsed.certificates)
        signed_by(signer, cert, parsed.signature, "the signature it countersigns")
        times = [a["values"] for a in signer["signed_attrs"] if a["type"].native == "signing_time"]
        if len(times) != 1 or len(times[0]) != 1:
            raise Refused("it has no single signing time")
        when = times[0][0].native
    except Refused as refusal:
        return None, f"{refused}: {refusal}"
    except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
        return None, f"its countersignature is not understood: {q(str(error).splitlines()[0][:120])}"
    authority = ctx.tools.write(".pem", certificates_pem([cert.dump()]))
    bag = ctx.tools.write(".pem", certificates_pem(cert.dump() for cert in parsed.certificates))
    status, _ = ctx.tools.run(["openssl", "verify", "-purpose", "timestampsign", "-CAfile", ctx.tsa_roots,
                               "-untrusted", bag, "--", authority])
    if status != 0:
        return None, refused
    return stamp_time(when, cert, ctx)


def stamp_words(when):
    return f", timestamped {when:%Y-%m-%dT%H:%M:%SZ}" if when else ""


class Signature:
    # signed: None until its structure has been read; spki: the key of the certificate that verified.
    def __init__(self):
        self.signed, self.verified, self.spki, self.subject = None, False, None, None


def usage_refused(cert, subject):
    """Why the signer's certificate is not one for code signing, or ""."""
    usages = cert.extended_key_usage_value
    if usages is None or "code_signing" not in usages.native:
        return f"its signer {subject} holds no certificate for code signing (extended key usage)"
    if cert.key_usage_value is not None and "digital_signature" not in cert.key_usage_value.native:
        return f"its signer {subject}'s certificate may not make signatures (key usage)"
    return ""


def identity_refused(cert, subject, ctx):
    """Why the signer is not the publisher the user named, or "": a CA's roots vouch for
    every customer of that CA, so the certificate must be the one pinned (--cert-sha256),
    the subject exactly the one given (--identity), or the certificate itself one of the
    roots."""
    policy = ctx.policy
    if policy.cert_sha256 is not None and hashlib.sha256(cert.dump()).hexdigest() != policy.cert_sha256:
        return f"its signer's certificate has the SHA-256 {hashlib.sha256(cert.dump()).hexdigest()}, not the one given (--cert-sha256)"
    if ctx.identity is not None:
        why = names.mismatch(ctx.identity, names.of_certificate(cert.subject))
        return f"its signer is {subject}, not {names.quoted(ctx.identity)} (--identity): {why}" if why else ""
    if policy.cert_sha256 is not None or cert.dump() in ctx.roots:
        return ""
    return (f"its signer {subject} is vouched for by --ca but is not one of its roots: "
            "give --identity SUBJECT or --cert-sha256 HEX to name the publisher")


def check(path, der, label, ctx, dse=False):
    """Checks one file's signature, DER its PKCS#7 (None: unsigned; a Refused: damaged);
    returns a Signature. DSE: whether an MSI has the extended signature's stream (None:
    not known)."""
    result, report, policy = Signature(), ctx.report, ctx.policy
    missing = ("Python asn1crypto and cryptography: Debian's python3-asn1crypto and python3-cryptography"
               if not available() else "" if ctx.osslsigncode else OSSLSIGNCODE_NEEDED)
    if missing:
        policy.unchecked(report, f"{label}'s Authenticode signature", missing, origin=True)
        return result
    if der is None:
        result.signed = False
        policy.unsigned(report, label)
        return result
    result.signed = True
    try:
        if isinstance(der, Refused):
            raise der
        parsed = Parsed(der)
    except Refused as refusal:
        report.check(f"{label}: its signature", str(refusal))
        return result
    subject = names.quoted(names.of_certificate(parsed.cert.subject))
    name = f"{label}: Authenticode signature by {subject}"
    intact = what_the_file_is(path, parsed, dse, ctx)
    if intact:
        report.check(name + " matches the file", intact)
        return result
    # Offline, always: no CRL distribution point the signer wrote is fetched.
    revocation = ["-CRLfile", policy.crl] if policy.crl else ["-ignore-crl"]

    def verify_command(crl_args):
        return ["osslsigncode", "verify", "-ignore-cdp"] + crl_args + [
            "-require-leaf-hash", "sha256:" + hashlib.sha256(parsed.cert.dump()).hexdigest(), "-in", path]
    command = verify_command(revocation)
    if policy.ca:
        # The chain first, as Windows judges it, at the timestamp's time when that counts:
        # what osslsigncode (OpenSSL) lets through, Windows may refuse, and where a chain
        # stops is said before any tool is asked.
        stamped, bad_stamp = timestamp_of(parsed, ctx)
        try:
            why = chain.check(parsed.cert.dump(), [cert.dump() for cert in parsed.certificates], ctx.roots,
                              stamped or chain.now(), ctx.limits.checks)
        except Refused as refusal:
            why = str(refusal)
        why = why and "its certificate chain does not verify with --ca's roots: " + why
        if why and bad_stamp:
            why += "; " + bad_stamp
        revoked = revocation_refused(parsed, ctx) if policy.crl and not why else ""
        if not why:
            # A signer that is itself one of the roots has no issuer to list it: OpenSSL would
            # ask for a CRL of it all the same; below the roots the CRLs are checked above.
            crl_args = ["-ignore-crl"] if parsed.cert.dump() in ctx.roots else revocation
            ok = ctx.tools.run(verify_command(crl_args) + ["-CAfile", ctx.ca_file, "-TSA-CAfile", ctx.tsa_roots])[0] == 0
            if not ok:
                why = (f"it does not verify with --ca's roots ({revoked})" if revoked else
                       "osslsigncode does not verify it with --ca's roots, though its chain is one Windows takes: "
                       + ("it may be revoked by --crl, or " if policy.crl else "")
                       + "its signature or timestamp is not one OpenSSL accepts")
            else:
                why = (usage_refused(parsed.cert, subject) or identity_refused(parsed.cert, subject, ctx)
                       or revoked or bad_stamp)
        result.verified = report.check(name + " verifies" + stamp_words(stamped), why)
    elif policy.key:
        # A key, not a root: the signature is that key's, over what the file is.
        ok = parsed.spki == ctx.key_der
        stamped, bad_stamp = timestamp_of(parsed, ctx) if ok else (None, "")
        why = "its signer's public key is not the one given (--key)" if not ok else bad_stamp
        result.verified = report.check(name + " verifies" + stamp_words(stamped), why)
    else:
        # Without an anchor a signature proves nothing; that it is intact is what is checked,
        # and whether the system's roots vouch for it is said.
        result.verified = True
        system = ctx.tools.run(command)[0] == 0
        stamped, bad_stamp = timestamp_of(parsed, ctx)
        stamp = stamp_words(stamped)
        if system:
            report.check(name + " verifies" + stamp + " (the system's roots)")
        else:
            report.check(name + " matches the file" + stamp)
            report.note(f"{label}: its signer is not checked without --ca or --key (the system's roots do not "
                        "vouch for it)")
        if bad_stamp:
            report.note(f"{label}: {bad_stamp}")
    if result.verified:
        result.spki, result.subject = parsed.spki, names.text(names.of_certificate(parsed.cert.subject))
        report.signers.add(result.subject)
        report.facts["signatures"] = report.facts.get("signatures", 0) + 1
    return result


def load_key(path):
    """The DER SubjectPublicKeyInfo of a PEM public key (--key); ValueError when it is none."""
    with open(path, "rb") as handle:
        key = serialization.load_pem_public_key(handle.read(1 << 16))
    return key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)

