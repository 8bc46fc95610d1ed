"""The signer's certificate chain as Windows judges a code-signing chain, before osslsigncode
is asked: a path from the signer's certificate through the certificates the signature
carries to a self-signed root of --ca, each link a signature that verifies, and on it every
CA allowed to issue (basic constraints, key usage keyCertSign, path length), every CA's
extended key usage, when it has one, allowing code signing (Windows applies a CA's EKU to the
whole chain; OpenSSL checks the leaf's alone), every name within the name constraints above
it, every certificate valid at the check time. The walk is linear: certificates are indexed
by subject, each is followed once, the signature checks are counted and the checks' clock is
watched, whatever a signature carries."""
import datetime

from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID

from . import names as names_module
from .report import Refused

CODE_SIGNING = ExtendedKeyUsageOID.CODE_SIGNING
ANY_USAGE = x509.ObjectIdentifier("2.5.29.37.0")
MAX_TRIES = 4096   # signatures one walk may check: a genuine chain needs a handful
MAX_DEPTH = 12     # certificates on one path


def load(der):
    return x509.load_der_x509_certificate(der)


def der_of(cert):
    return cert.public_bytes(serialization.Encoding.DER)


def shown(cert_name):
    """A cryptography Name as the report shows subjects."""
    return names_module.quoted(names_module.of_certificate(asn1_x509.Name.load(cert_name.public_bytes())))


def signed(cert, issuer):
    """Whether ISSUER's key made CERT's signature (RSA PKCS#1 v1.5 or ECDSA)."""
    key, algorithm = issuer.public_key(), cert.signature_hash_algorithm
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(cert.signature, cert.tbs_certificate_bytes, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(cert.signature, cert.tbs_certificate_bytes, ec.ECDSA(algorithm))
        else:
            return False
    except (InvalidSignature, UnsupportedAlgorithm, TypeError, ValueError):
        return False
    return True


def extension(cert, kind):
    try:
        return cert.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


def self_signed(cert):
    return cert.issuer == cert.subject and signed(cert, cert)


# Where a walk stops, in the verifier's words; release/certificate.py words the same stops
# for the publisher.
STOPS = {
    "not a root": ("its chain reaches {subject}, which --ca holds but which is not a root (not self-signed: its "
                   "issuer is {issuer}); give --ca the self-signed root certificate at the top of the chain"),
    "other root": "its chain ends at {subject}, a root that is not among --ca's",
    "too long": f"its chain is longer than {MAX_DEPTH} certificates",
    "incomplete": ("the chain is incomplete: it ends at {subject}, whose issuer {issuer} is neither carried by the "
                   "signature nor among --ca's roots"),
    "broken": ("the chain is broken: {subject} names {issuer} as its issuer, but no certificate of that name "
               "carried or among --ca's roots signed it"),
}


class Walk:
    """A path from LEAF (DER) through CARRIED (DER) to a self-signed certificate of ROOTS
    (DER); a certificate of ROOTS that is not self-signed is followed like a carried one,
    as OpenSSL and Windows follow it. .path (leaf first), or where the walk first stopped:
    .stopped (a key of STOPS, the certificate there) and .why."""

    def __init__(self, leaf, carried, roots, deadline):
        self.deadline, self.tries = deadline, 0
        self.leaf = load(leaf)
        self.anchors = set()
        self.given = set(roots)
        index = {}
        for der in list(carried) + list(roots):
            self._time()
            try:
                cert = load(der)
            except ValueError:
                continue
            index.setdefault(cert.subject, []).append(cert)
            if der in self.given and self_signed(cert):
                self.anchors.add(der)
        self.index = index
        self.dead = set()
        self.stopped = None
        self.path = self._follow([self.leaf])
        self.why = ""
        if not self.path:
            kind, cert = self.stopped
            self.why = STOPS[kind].format(subject=shown(cert.subject), issuer=shown(cert.issuer))

    def _time(self):
        if self.deadline is not None and self.deadline.spent():
            raise Refused(f"its chain could not be followed within the checks' {self.deadline.seconds} s")

    def _stop(self, kind, cert):
        self.stopped = self.stopped or (kind, cert)

    def _follow(self, path):
        cert = path[-1]
        der = der_of(cert)
        if der in self.anchors:
            return path
        if der in self.given:
            self._stop("not a root", cert)
        if self_signed(cert):
            self._stop("other root", cert)
            return None
        if len(path) >= MAX_DEPTH:
            self._stop("too long", cert)
            return None
        candidates = [other for other in self.index.get(cert.issuer, [])
                      if der_of(other) not in self.dead and all(other is not there for there in path)]
        if not candidates:
            self._stop("incomplete", cert)
        for other in candidates:
            self._time()
            self.tries += 1
            if self.tries > MAX_TRIES:
                raise Refused(f"its chain could not be followed within {MAX_TRIES} signature checks: "
                              f"it carries certificates that only look like issuers")
            if not signed(cert, other):
                self._stop("broken", cert)
                continue
            found = self._follow(path + [other])
            if found:
                return found
            self.dead.add(der_of(other))
        return None


def within(name, base):
    """Whether the X.509 name NAME lies in the subtree BASE (both cryptography Names): BASE's
    RDNs are NAME's first ones, compared as X.509 compares names (case and spaces folded)."""
    def fold(rdn):
        return frozenset((attribute.oid.dotted_string, " ".join(str(attribute.value).casefold().split()))
                         for attribute in rdn)
    have, want = [fold(rdn) for rdn in name.rdns], [fold(rdn) for rdn in base.rdns]
    return have[:len(want)] == want


def host_within(host, base):
    host, base = host.lower().rstrip("."), base.lower().rstrip(".")
    if base.startswith("."):
        return host.endswith(base)
    return host == base or host.endswith("." + base) or not base


def mail_within(mail, base):
    mail, base = mail.lower(), base.lower()
    if "@" in base:
        return mail == base
    domain = mail.rsplit("@", 1)[-1]
    return host_within(domain, base) if base.startswith(".") else domain == base


def constraint_refused(cert, constraints, ca):
    """Why CERT's names are not within CA's name constraints, or ""."""
    names = {x509.DirectoryName: [cert.subject] if cert.subject.rdns else [], x509.DNSName: [], x509.RFC822Name: []}
    for attribute in cert.subject.get_attributes_for_oid(x509.NameOID.EMAIL_ADDRESS):
        names[x509.RFC822Name].append(str(attribute.value))
    alternative = extension(cert, x509.SubjectAlternativeName)
    other_kinds = set()
    for general in alternative or []:
        if type(general) in names:
            names[type(general)].append(general.value)
        else:
            other_kinds.add(type(general))
    tests = {x509.DirectoryName: within, x509.DNSName: host_within, x509.RFC822Name: mail_within}
    for subtrees, permitted in ((constraints.permitted_subtrees, True), (constraints.excluded_subtrees, False)):
        for kind in {type(subtree) for subtree in subtrees or []}:
            bases = [subtree.value for subtree in subtrees if type(subtree) is kind]
            if kind not in tests:
                if kind in other_kinds:
                    return (f"{shown(ca.subject)} constrains names of a kind ({kind.__name__}) that "
                            f"{shown(cert.subject)} holds and this check cannot compare")
                continue
            for value in names[kind]:
                inside = any(tests[kind](value, base) for base in bases)
                if inside != permitted:
                    return (f"{shown(cert.subject)}'s name {names_module.quote_text(str(value))} is "
                            f"{'outside' if permitted else 'inside'} the name constraints of {shown(ca.subject)}")
    return ""


def judged(path, when):
    """Why a PATH (leaf first, its root last) is not one Windows takes for code signing at
    WHEN (naive UTC), or ""."""
    # A signer below the roots whose certificate may issue others is a CA signing code
    # itself, which no CA issues a publisher: it could vouch for any subject it liked.
    basic = extension(path[0], x509.BasicConstraints)
    if len(path) > 1 and basic is not None and basic.ca:
        return (f"{shown(path[0].subject)}'s certificate is a CA's (basic constraints), not one issued to sign "
                "code with")
    for cert in path:
        if not cert.not_valid_before <= when <= cert.not_valid_after:
            return (f"{shown(cert.subject)}'s certificate is valid from {cert.not_valid_before:%Y-%m-%d %H:%M:%S} "
                    f"to {cert.not_valid_after:%Y-%m-%d %H:%M:%S} UTC, not at the check time "
                    f"{when:%Y-%m-%d %H:%M:%S} UTC")
    for depth, ca in enumerate(path[1:], 1):
        root = depth == len(path) - 1
        basic = extension(ca, x509.BasicConstraints)
        if (basic is None and not root) or (basic is not None and not basic.ca):
            return f"{shown(ca.subject)} issues {shown(path[depth - 1].subject)} but is not a CA (basic constraints)"
        if basic is not None and basic.path_length is not None and depth - 1 > basic.path_length:
            return (f"{shown(ca.subject)} allows {basic.path_length} CA certificates below it (path length) "
                    f"and has {depth - 1}")
        usage = extension(ca, x509.KeyUsage)
        if usage is not None and not usage.key_cert_sign:
            return f"{shown(ca.subject)} may not sign certificates (key usage lacks keyCertSign)"
        purposes = extension(ca, x509.ExtendedKeyUsage)
        if purposes is not None and CODE_SIGNING not in purposes and ANY_USAGE not in purposes:
            return (f"{shown(ca.subject)}'s extended key usage does not allow code signing "
                    f"({', '.join(oid._name if oid._name != 'Unknown OID' else oid.dotted_string for oid in purposes)}): "
                    "Windows refuses every signature below it")
        constraints = extension(ca, x509.NameConstraints)
        if constraints is not None:
            for below in path[:depth]:
                # A self-issued CA certificate below is not held to them (RFC 5280 6.1.3).
                if below is not path[0] and below.issuer == below.subject:
                    continue
                why = constraint_refused(below, constraints, ca)
                if why:
                    return why
    return ""


def check(leaf, carried, roots, when, deadline):
    """Why the signer's chain is not one Windows takes at WHEN, or "": LEAF, CARRIED and
    ROOTS as DER; Refused when it cannot be followed within its bounds."""
    try:
        walk = Walk(leaf, carried, roots, deadline)
        if walk.why:
            return walk.why
        return judged(walk.path, when)
    except (ValueError, TypeError, KeyError, x509.DuplicateExtension, x509.UnsupportedGeneralNameType) as error:
        # cryptography reads extensions and names when they are asked for: a damaged one shows
        # here (a name's value of no string type, as a KeyError).
        raise Refused(f"a certificate of its chain cannot be read ({str(error).splitlines()[0][:120] if str(error) else type(error).__name__})")


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
