"""What the verifier's in-process tests share: the package from this checkout, a throwaway
folder, certificates made with cryptography, a small PE that osslsigncode signs, a listener
that counts the connections made to it, and a stand-in for the checks' shared context."""
import datetime
import os
import shutil
import socket
import struct
import sys
import tempfile
import types
import unittest

SOURCE = os.path.realpath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
sys.path.insert(0, os.path.join(SOURCE, "release"))

from verify import limits as limits_module, policy as policy_module, report as report_module  # noqa: E402
from verify import tools as tools_module  # noqa: E402

from cryptography import x509  # noqa: E402
from cryptography.hazmat.primitives import hashes, serialization  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, rsa  # noqa: E402
from cryptography.x509.oid import ExtendedKeyUsageOID  # noqa: E402


class Scratch(unittest.TestCase):
    """A test with a folder of its own, removed afterwards."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="verify-test.")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(data, bytes) else "w") as handle:
            handle.write(data)
        return path

    def read(self, name, mode="rb"):
        with open(self.path(name), mode) as handle:
            return handle.read()

    def fill(self, files, under="."):
        """The folder emptied, then FILES ({name: bytes}) written under UNDER in it: a value of
        None is a symbolic link to a file outside UNDER, a name ending in "/" an empty folder."""
        shutil.rmtree(self.tmp)
        os.makedirs(self.path(under))
        for name, data in files.items():
            if name.endswith("/"):
                os.makedirs(self.path(under, name))
            elif data is None:
                os.symlink(self.write("outside", b"x"), self.path(under, name))
            else:
                self.write(os.path.join(under, name), data)

    def tool(self, name, script):
        """A shell script SCRIPT as bin/NAME, executable."""
        os.chmod(self.write(f"bin/{name}", "#!/bin/sh\n" + script), 0o755)


START = datetime.datetime(2025, 1, 1)
KEYS = {}


def key(name):
    """One key per name for the whole run: the publisher's ("leaf") RSA, as code signing
    certificates mostly are, of 1024 bits (a 2048-bit one takes seconds to make on a busy
    machine); the others P-256, made at once."""
    if name not in KEYS:
        KEYS[name] = (rsa.generate_private_key(public_exponent=65537, key_size=1024) if name == "leaf"
                      else ec.generate_private_key(ec.SECP256R1()))
    return KEYS[name]


def name_of(*pairs):
    """An X.509 name from (OID, value[, string type]) pairs, most general first."""
    return x509.Name([x509.NameAttribute(*pair) for pair in pairs])


def certificate(subject, subject_key, issuer=None, issuer_key=None, ca=False, crl_url=None, serial=None, eku=None,
                valid=None, path_length=None, key_usage=None, constraints=None):
    """A certificate for SUBJECT (a Name) with SUBJECT_KEY, issued by ISSUER (self-signed when
    None): a CA's, or a leaf for code signing, naming CRL_URL as its distribution point. EKU:
    the extended key usages (a CA has none unless given); VALID: (from, to); PATH_LENGTH,
    KEY_USAGE (a CA's, keyCertSign and cRLSign unless given), CONSTRAINTS (NameConstraints)."""
    issuer, issuer_key = (issuer, issuer_key) if issuer is not None else (subject, subject_key)
    start, end = valid or (START, START + datetime.timedelta(days=3650))
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer)
               .public_key(subject_key.public_key()).serial_number(serial or x509.random_serial_number())
               .not_valid_before(start).not_valid_after(end)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=path_length if ca else None), critical=True))
    if ca:
        builder = builder.add_extension(key_usage or x509.KeyUsage(False, False, False, False, False, True, True,
                                                                   False, False), critical=True)
        if eku:
            builder = builder.add_extension(x509.ExtendedKeyUsage(eku), critical=False)
    else:
        builder = builder.add_extension(x509.ExtendedKeyUsage(eku or [ExtendedKeyUsageOID.CODE_SIGNING]),
                                        critical=eku is not None)
    if constraints is not None:
        builder = builder.add_extension(constraints, critical=True)
    if crl_url:
        builder = builder.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
            [x509.UniformResourceIdentifier(crl_url)], None, None, None)]), critical=False)
    return builder.sign(issuer_key, None if isinstance(issuer_key, ed25519.Ed25519PrivateKey) else hashes.SHA256())


def pem(*certificates):
    return b"".join(cert.public_bytes(serialization.Encoding.PEM) for cert in certificates)


def key_pem(private):
    return private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                 serialization.NoEncryption())


def crl(issuer, issuer_key, revoked=()):
    builder = (x509.CertificateRevocationListBuilder().issuer_name(issuer.subject)
               .last_update(START).next_update(START + datetime.timedelta(days=3650)))
    for cert in revoked:
        builder = builder.add_revoked_certificate(x509.RevokedCertificateBuilder().serial_number(cert.serial_number)
                                                  .revocation_date(START).build())
    return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM)


def pe_file(machine=0x8664, manifest=None):
    """A PE32+ console program of one section of code, and with MANIFEST a second: a resource
    tree holding it as its application manifest (RT_MANIFEST, name 1, language 1033). What
    osslsigncode signs, pefile reads, the verifier's PE check holds to its machine and checksum
    and the manifests' facts are read from (its machine, subsystem version, the Windows named)."""
    rva, tree = 0x2000, b""
    if manifest is not None:
        def directory(name, offset):
            return struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, name, offset)
        tree = (directory(24, 0x80000000 | 24) + directory(1, 0x80000000 | 48) + directory(1033, 72)
                + struct.pack("<IIII", rva + 88, len(manifest), 0, 0) + manifest)
        tree += bytes(-len(tree) % 0x200)
    coff = struct.pack("<HHIIIHH", machine, 1 + bool(tree), 0, 0, 0, 240, 0x22)
    optional = struct.pack("<HBBIIIII", 0x20B, 2, 40, 0x200, len(tree), 0, 0x1000, 0x1000)
    optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                            0x2000 + (0x1000 if tree else 0), 0x200, 0, 3, 0x8160, 0x100000, 0x1000, 0x100000,
                            0x1000, 0, 16)
    optional += bytes(2 * 8) + struct.pack("<II", rva if tree else 0, len(tree)) + bytes(13 * 8)
    sections = struct.pack("<8sIIIIIIHHI", b".text", 0x10, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    if tree:
        sections += struct.pack("<8sIIIIIIHHI", b".rsrc", len(tree), rva, len(tree), 0x400, 0, 0, 0, 0, 0x40000040)
    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    headers = bytes(dos) + b"PE\0\0" + coff + optional + sections
    image = bytearray(headers + bytes(0x200 - len(headers)) + b"\xc3" + bytes(0x1ff) + tree)
    import pefile
    struct.pack_into("<I", image, pefile.PE(data=bytes(image)).OPTIONAL_HEADER.get_file_offset() + 64,
                     pefile.PE(data=bytes(image)).generate_checksum())
    return bytes(image)


class Counter:
    """A TCP listener on 127.0.0.1 that never answers: the connections made to it wait in its
    backlog, and count() takes them."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0), backlog=16)
        self.server.setblocking(False)
        self.port, self.held = self.server.getsockname()[1], []

    def count(self):
        while True:
            try:
                self.held.append(self.server.accept()[0])
            except BlockingIOError:
                return len(self.held)

    def close(self):
        for connection in self.held:
            connection.close()
        self.server.close()


def context(work, ca=None, key=None, sums=None, identity=None, cert_sha256=None, crl_file=None, **more):
    """What the checks share, as cli.Context makes it, around a Report that prints nothing."""
    limits = limits_module.Limits().start()
    report = report_module.Report(out=None)
    ctx = types.SimpleNamespace(
        args=types.SimpleNamespace(ca=ca, key=key, sums=sums, identity=identity, cert_sha256=cert_sha256, crl=crl_file,
                                   schema=None, node_modules=None, rebuild=None, commit=None, preset=None,
                                   anyway=False, arm64_cache=None, tsa_ca=None),
        work=work, report=report, limits=limits,
        policy=policy_module.Policy(ca=ca, key=key, sums=sums, identity=identity, cert_sha256=cert_sha256, crl=crl_file),
        tools=tools_module.Tools(work, limits), osslsigncode=tools_module.osslsigncode_usable(tools_module.Tools(work, limits)),
        folder=None, roots=[], identity=None, key_der=None, tsa_roots=os.devnull, ca_file=ca, signed={}, exe={}, zip={},
        packages={}, crls=None)
    vars(ctx).update(more)
    return ctx


def lines(report):
    return [result.text() for result in report.results]


def has(lines, words):
    """Whether a line says WORDS: a verdict's or a note's words begin its line, others are
    anywhere in one."""
    return any(line.startswith(words) or words[:4] not in ("ok  ", "FAIL", "    ") and words in line for line in lines)
