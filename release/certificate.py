#!/usr/bin/python3
"""The signing certificate, checked before anything is signed, from its structure (python3-
cryptography): valid now, for code signing (extended key usage codeSigning; digitalSignature
when it names key usages), the key's own (a key file), and, with --roots, chained through
the intermediates its file carries to a self-signed one of those roots, as the verifier walks it.

usage: certificate.py PROGRAM CONFIG [--roots ROOTS.pem | --own-root] [--public-key OUT.pem] [--chain OUT.pem]
  CONFIG      the build's signing configuration (signing.json); a PKCS#12 file's password
              comes on standard input
  --own-root  the signer is its own root (self-signed)
  --public-key   writes the signer's public key; --chain the certificates, signer's first
Prints the signer's facts as JSON: subject (RFC 4514, spelt as the verifier shows and matches
it), sha256 (of its DER), thumbprint (its SHA-1, as Windows shows it), not_after (a day), ends
(its last second, in UTC),
days_left (whole days until it expires), crl_urls (the CRL distribution points it and the
intermediates its file carries name), file.
A refusal is one line, "PROGRAM: ...", and status 1.
"""
import argparse
import datetime
import json
import os
import sys

from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID

# The verifier's modules beside this one: one spelling of names, one chain walk, one PEM rule
# (no bytecode written into the sources).
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
from verify import authenticode, chain, names  # noqa: E402
from verify.report import Refused  # noqa: E402

MAX_FILE = 1 << 20


def day(moment):
    return moment.strftime("%Y-%m-%d")


def name(cert):
    return cert.subject.rfc4514_string()


def published_subject(cert):
    """The subject as scripts/verify-release shows it and --identity matches it (its own
    names module, so that what the publisher is told to publish is what users' checks
    compare): RFC 4514 order, plain UTF-8, OpenSSL's short names."""
    parsed = asn1_x509.Certificate.load(cert.public_bytes(serialization.Encoding.DER))
    return names.text(names.of_certificate(parsed.subject))


def crl_urls(cert):
    points = chain.extension(cert, x509.CRLDistributionPoints) or []
    return [general.value for point in points for general in (point.full_name or [])
            if isinstance(general, x509.UniformResourceIdentifier)]


def read(path, what):
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE + 1)
    except OSError as error:
        raise Refused(f"cannot read {what} '{path}': {error.strerror}")
    if len(data) > MAX_FILE:
        raise Refused(f"{what} '{path}' is over {MAX_FILE >> 20} MiB")
    return data


def pem_certificates(path, what):
    """The certificates of a PEM file, by the verifier's one rule: a block that is not a
    readable certificate, or that does not end, refuses the file."""
    try:
        ders = authenticode.roots_of(read(path, what))
    except ValueError as error:
        raise Refused(f"'{path}': {error}")
    if not ders:
        raise Refused(f"'{path}' holds no PEM certificate")
    return [x509.load_der_x509_certificate(der) for der in ders]


def valid_now(cert, where, now):
    if now > cert.not_valid_after:
        raise Refused(f"the certificate {where} expired on {day(cert.not_valid_after)}: renew it")
    if now < cert.not_valid_before:
        raise Refused(f"the certificate {where} is not valid before {day(cert.not_valid_before)}: "
                      "check the clock, or use the current one")


def check_signer(leaf, where, now):
    valid_now(leaf, where, now)
    usages = chain.extension(leaf, x509.ExtendedKeyUsage)
    if usages is None or ExtendedKeyUsageOID.CODE_SIGNING not in usages:
        raise Refused(f"the certificate {where} has no codeSigning extended key usage: it cannot sign code")
    key_usage = chain.extension(leaf, x509.KeyUsage)
    if key_usage is not None and not key_usage.digital_signature:
        raise Refused(f"the certificate {where} names key usages without digitalSignature: it cannot sign")


def check_chain(leaf, carried, roots, where, roots_named, now):
    """LEAF up to a self-signed one of ROOTS through CARRIED (the certificate file's), by the
    verifier's own walk (chain.Walk), the path then held to its rules (chain.judged: CAs,
    validity now, path lengths, usages, name constraints), so that nothing is signed that
    the verifier would refuse. Where the walk stops is said for the publisher."""
    der = chain.der_of
    walk = chain.Walk(der(leaf), [der(cert) for cert in carried], [der(root) for root in roots], None)
    why = chain.judged(walk.path, now) if walk.path else ""
    if why:
        raise Refused(f"the certificate {where} would not verify: {why}")
    if walk.path:
        # Users are handed the roots alone: each link below the root must travel with the
        # signature, that is, be in the certificate's own file.
        own = {der(cert) for cert in [leaf] + carried}
        borrowed = [cert for cert in walk.path[:-1] if der(cert) not in own]
        if borrowed:
            raise Refused(f"the certificate {where} reaches its root only through '{name(borrowed[0])}', which "
                          f"{roots_named} hold but its own file does not: put the intermediates after the signer's "
                          "certificate (DORVANE_RELEASE_CA holds the roots alone)")
        return
    kind, at = walk.stopped
    at_name, issuer = name(at), at.issuer.rfc4514_string()
    raise Refused({
        "not a root": f"the certificate {where} reaches '{at_name}', which {roots_named} hold but which is not a "
                      f"root (not self-signed: its issuer is '{issuer}'): name the self-signed root at the top of "
                      "its chain in DORVANE_RELEASE_CA",
        "other root": f"the certificate {where} chains to the root '{at_name}', which is not among {roots_named}: "
                      "name its roots in DORVANE_RELEASE_CA",
        "too long": f"the certificate {where} has a chain of more than {chain.MAX_DEPTH} certificates",
        "incomplete": f"the certificate {where} does not reach {roots_named}: '{at_name}' was issued by '{issuer}', "
                      "which neither that file nor the roots hold (put the intermediates after the signer's "
                      "certificate; the roots in DORVANE_RELEASE_CA)",
        "broken": f"'{at_name}' is not signed by the key of its issuer '{issuer}'",
    }[kind])


def same_key(cert, key_path, where):
    try:
        key = serialization.load_pem_private_key(read(key_path, "the key"), password=None)
    except (ValueError, TypeError):
        raise Refused(f"'{key_path}' holds no unencrypted PEM private key")
    public = serialization.PublicFormat.SubjectPublicKeyInfo
    if key.public_key().public_bytes(serialization.Encoding.DER, public) != \
            cert.public_key().public_bytes(serialization.Encoding.DER, public):
        raise Refused(f"the certificate {where} is not that of the key '{key_path}': give the certificate of this key")


def settings(path):
    # The files' settings as text, absent ones empty: a configuration written otherwise is
    # refused in one line, not met later as a traceback.
    try:
        config = json.loads(read(path, "the signing configuration"))
    except (ValueError, RecursionError):
        config = None
    keys = ("source", "certs", "key", "pkcs12")
    if not isinstance(config, dict) or not all(isinstance(config.get(key, ""), str) for key in keys):
        raise Refused(f"the signing configuration '{path}' is not one JSON object of text settings: configure again")
    config = {key: config.get(key, "") for key in keys}
    if not config["pkcs12" if config["source"] == "pkcs12" else "certs"]:
        raise Refused(f"the signing configuration '{path}' names no certificate: configure again")
    return config


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("program")
    parser.add_argument("config")
    parser.add_argument("--roots")
    parser.add_argument("--own-root", action="store_true")
    parser.add_argument("--public-key")
    parser.add_argument("--chain")
    args = parser.parse_args(argv[1:])
    try:
        config = settings(args.config)
        now = datetime.datetime.utcnow()
        if config["source"] == "pkcs12":
            password = sys.stdin.buffer.read(4097)
            password = password[:-1] if password.endswith(b"\n") else password
            try:
                _, leaf, carried = pkcs12.load_key_and_certificates(read(config["pkcs12"], "the PKCS#12 file"), password)
            except ValueError:
                raise Refused(f"could not open '{config['pkcs12']}': a wrong password (DORVANE_SIGN_PASSWORD) "
                              "or not a PKCS#12 file")
            if leaf is None:
                raise Refused(f"'{config['pkcs12']}' holds no certificate for its key")
            carried = [leaf] + list(carried)
            where = f"in '{config['pkcs12']}'"
        else:
            carried = pem_certificates(config["certs"], "the certificate file")
            leaf = carried[0]
            where = f"in '{config['certs']}'"
        check_signer(leaf, where, now)
        if config["source"] == "pem":
            same_key(leaf, config["key"], where)
        if args.roots:
            check_chain(leaf, carried, pem_certificates(args.roots, "the roots"), where, f"the roots in '{args.roots}'",
                        now)
        elif args.own_root:
            # The signer is its own root, as release.sh then tells the publisher to publish it: a
            # root its file carries above an intermediate is no root a user would be given.
            own = [leaf] if chain.self_signed(leaf) else []
            check_chain(leaf, carried, own, where,
                        "DORVANE_RELEASE_CA's roots (it names none: the signer must be self-signed)", now)
    except Refused as refusal:
        print(f"{args.program}: {refusal}", file=sys.stderr)
        return 1
    except (ValueError, x509.DuplicateExtension, x509.UnsupportedGeneralNameType) as error:
        # An extension cryptography reads only when asked: a damaged one is said in one line.
        print(f"{args.program}: a certificate cannot be read: {error}", file=sys.stderr)
        return 1
    if args.public_key:
        with open(args.public_key, "wb") as f:
            f.write(leaf.public_key().public_bytes(serialization.Encoding.PEM,
                                                   serialization.PublicFormat.SubjectPublicKeyInfo))
    if args.chain:
        with open(args.chain, "wb") as f:
            f.write(b"".join(cert.public_bytes(serialization.Encoding.PEM) for cert in carried))
    # The SHA-1 thumbprint is what Windows shows a user of the certificate (Thumbprint).
    json.dump({"subject": published_subject(leaf), "sha256": leaf.fingerprint(hashes.SHA256()).hex(),
               "thumbprint": leaf.fingerprint(hashes.SHA1()).hex().upper(),
               "not_after": day(leaf.not_valid_after),
               "ends": f"{leaf.not_valid_after:%Y-%m-%d %H:%M:%S} UTC", "days_left": (leaf.not_valid_after - now).days,
               "crl_urls": [url for cert in carried if cert.issuer != cert.subject for url in crl_urls(cert)], "file": config["pkcs12"] or config["certs"]}, sys.stdout, ensure_ascii=False)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
