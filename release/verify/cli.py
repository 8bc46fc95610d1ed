"""The command line, and the run: DIR read, every check made, the closing line and the tally
(or, with --json, one JSON document), and the status."""
import argparse
import os
import re
import shutil
import signal
import sys
import tempfile

from . import authenticode, contract, folder as folder_checks, manifests, names, rebuild, release
from .limits import Deadline, Limits
from .policy import Policy
from .report import Refused, Report, q, show
from .tools import STOP_SIGNALS, Tools, osslsigncode_usable, system_path

EPILOG = """trust:
  The folder proves nothing about itself: the origin rests on an anchor you
  bring from elsewhere.
  --ca ROOTS --identity SUBJECT
        every Authenticode signature (one per file, none nested) chains to a
        self-signed root of ROOTS, offline, as Windows judges a code-signing
        chain (every CA's extended key usage, when it has one, allowing code
        signing; key usage, path length, name constraints; each certificate
        valid at the timestamp's time when that is not in the future, else
        now), and its signer's certificate has exactly the subject
        SUBJECT: the same attributes in the same order, each value code point
        for code point, nothing folded. Give SUBJECT in RFC 4514 order, most
        specific first, as
          openssl x509 -noout -subject -nameopt RFC2253,-esc_msb -in CERT
        prints it (without "subject="), e.g. "CN=Name,O=Org"; OpenSSL's
        default form ("O = Org, CN = Name") is refused. A CA's roots
        vouch for every customer of that CA: SUBJECT says which one is the
        publisher. A subject holding an invisible character never matches.
  --cert-sha256 HEX
        with --ca: the signer's certificate is exactly the one with this
        SHA-256 fingerprint (the strongest pin; with or without --identity).
        Without either, the signer's certificate must itself be one of ROOTS.
  --crl FILE
        with --ca: revocation is checked against the CRLs in FILE (PEM), for
        every certificate of the chain below the roots: each needs a current,
        complete CRL of its issuer that does not list it. Nothing is ever
        fetched: without --crl revocation is not checked, and the closing
        line says so; with it, the closing line names the certificates
        checked.
  --key PUBKEY
        every signature and the envelope are that key's.
  --tsa-ca ROOTS
        with --ca or --key: roots a timestamp may chain to, besides the
        system's and --ca's: those of a timestamp authority the publisher
        names. They vouch for no signer (never put them in --ca's ROOTS).
        Under --ca or --key a timestamp that does not verify fails.
  --sums HEX
        SHA256SUMS has this SHA-256 and lists every file but the manifests'.
        A download of some architectures only passes: the files SHA256SUMS
        names of the others are listed once as not checked, and every file
        it names of an architecture that is here must be here.
  Keep the anchor files (ROOTS, PUBKEY, CRLs) outside DIR: one that is in
  DIR is known as yours and left out of the checks.
  Under --ca or --key every file must be part of the signed release (a
  package, its records, their checksums; what an anchored SHA256SUMS lists);
  without an anchor, a file that is not one of a release's own names fails,
  and integrity only means the files match the checksums beside them, which
  catches damage, not tampering. The winget/ and Scoop manifests, when there,
  must be exactly what release/manifests.py writes for these packages, every
  field, but for the download folder and release notes' address they name
  (shown): they are covered by the packages' SHA-256s, not by a signature.

output:
  One line per check ("ok" or "FAIL"), notes indented, then "proved: ...",
  which says exactly what was proved, and "N passed, N failed"; with --json,
  one JSON document instead. Status 0 when every check holds, 1 when one does
  not, 2 for a bad command line or a folder without a release; 128+N when
  signal N stopped it.

It runs only the system tools it names, found on PATH's absolute entries outside
DIR (osslsigncode, openssl, msiextract; node with --schema; git, cmake,
dpkg-query and osslsigncode with --rebuild), never connects to a network, and
imports nothing from beside itself, the working folder, DIR or PYTHON*
variables (python3 -I)."""


class Usage(Exception):
    pass


def arguments(argv):
    parser = argparse.ArgumentParser(
        prog="verify-release", allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="verify-release DIR [--ca ROOTS.pem [--identity SUBJECT] [--cert-sha256 HEX] [--crl CRL.pem]\n"
              "                          | --key PUBKEY.pem] [--tsa-ca ROOTS.pem] [--sums HEX] [--json]\n"
              "                      [--schema CHECKOUT [--node-modules DIR]]\n"
              "                      [--rebuild SOURCE [--anyway] [--preset NAME] [--commit HASH] "
              "[--arm64-cache DIR]]",
        description="Checks a folder of DORVANE release files (build/release/<version>/ as scripts/release.sh "
                    "makes it, or the files as downloaded); it only reads the folder.",
        epilog=EPILOG)
    parser.add_argument("dir", metavar="DIR", help="the downloaded files: dorvane-<version>-<arch>.zip, .msi, ...")
    parser.add_argument("--ca", metavar="ROOTS", help="trusted root certificates (PEM): the origin is checked with them")
    parser.add_argument("--identity", metavar="SUBJECT",
                        help="with --ca: the publisher's certificate subject, exactly, in RFC 4514 order as "
                             "`openssl x509 -noout -subject -nameopt RFC2253,-esc_msb` prints it (CN=Name,O=Org)")
    parser.add_argument("--cert-sha256", metavar="HEX", help="with --ca: the SHA-256 of the publisher's certificate")
    parser.add_argument("--crl", metavar="FILE", help="with --ca: the CRLs (PEM) of every issuer in the chain, "
                        "to check revocation against, offline")
    parser.add_argument("--key", metavar="PUBKEY", help="the publisher's public key (PEM): the origin is checked with it")
    parser.add_argument("--tsa-ca", metavar="ROOTS", help="root certificates (PEM) of a timestamp authority the "
                        "system's roots do not hold, as the publisher publishes them: for timestamps only")
    parser.add_argument("--sums", metavar="HEX", help="the SHA-256 of SHA256SUMS, published elsewhere")
    parser.add_argument("--json", action="store_true", help="write the results as one JSON document")
    parser.add_argument("--rebuild", metavar="SOURCE", help="a checkout or clone URL: build the recorded commit and compare")
    parser.add_argument("--schema", metavar="CHECKOUT",
                        help="check each SBOM against the CycloneDX 1.6 schema with CHECKOUT's release/sbom/records.mjs")
    parser.add_argument("--node-modules", metavar="DIR", help="with --schema: the npm packages of "
                        f"release/sbom/package-lock.json (default {contract.node_modules('CHECKOUT')})")
    parser.add_argument("--anyway", action="store_true", help="rebuild even where Debian packages differ")
    parser.add_argument("--preset", metavar="NAME", help="the preset to rebuild with (a release without provenance)")
    parser.add_argument("--commit", metavar="HASH", help="the commit to rebuild (a release without provenance)")
    parser.add_argument("--arm64-cache", metavar="DIR", help="an existing ARM64 sysroot cache")
    args = parser.parse_args(argv)
    for options, exists, kind in ((("ca", "key", "crl", "tsa_ca"), os.path.isfile, "file"),
                                  (("schema", "node_modules"), os.path.isdir, "folder")):
        for option in options:
            value = getattr(args, option)
            if value is not None:
                if not exists(value):
                    parser.error(f"--{option.replace('_', '-')}: {q(value)} is not a {kind}")
                setattr(args, option, os.path.realpath(value))
    if args.node_modules and not args.schema:
        parser.error("--node-modules goes with --schema")
    if args.ca and args.key:
        parser.error("--ca and --key: give one anchor for the signatures")
    for option in ("identity", "cert_sha256", "crl"):
        if getattr(args, option) is not None and not args.ca:
            parser.error(f"--{option.replace('_', '-')} goes with --ca")
    for option in ("sums", "cert_sha256"):
        value = getattr(args, option)
        if value is not None:
            value = value.lower().replace(":", "")
            if not re.fullmatch(r"[0-9a-f]{64}", value):
                parser.error(f"--{option.replace('_', '-')}: not 64 hex digits")
            setattr(args, option, value)
    if args.identity is not None:
        try:
            args.identity_rdns = names.parse(args.identity)
        except ValueError as error:
            parser.error(f"--identity: {error}")
    if args.commit is not None and not re.fullmatch(r"[0-9a-f]{7,40}", args.commit):
        parser.error("--commit: not a hex commit")
    presets = [contract.arch(arch)["preset"] for arch in contract.arches()]
    if args.preset is not None and args.preset not in presets:
        parser.error("--preset: not one of " + ", ".join(presets))
    if (args.anyway or args.preset or args.commit or args.arm64_cache) and not args.rebuild:
        parser.error("--anyway, --preset, --commit and --arm64-cache go with --rebuild")
    if not os.path.isdir(args.dir):
        parser.error(f"{q(args.dir)} is not a folder")
    return args


class Context:
    """What every check shares: the command line, the policy, the limits, the tools, the
    folder, the report, and what one release's check leaves for the rebuild."""

    def __init__(self, args, work, report, limits):
        self.args, self.work, self.report, self.limits = args, work, report, limits
        self.policy = Policy(ca=args.ca, key=args.key, sums=args.sums, identity=args.identity,
                             cert_sha256=args.cert_sha256, crl=args.crl)
        self.tools = Tools(work, limits)
        self.osslsigncode = osslsigncode_usable(self.tools)
        self.folder, self.tsa_roots = None, None
        self.roots, self.identity, self.key_der = [], getattr(args, "identity_rdns", None), None
        self.ca_file = None   # --ca's certificates, written afresh
        self.crls = None      # --crl's CRLs, read once
        self.signed, self.exe, self.zip = {}, {}, {}
        self.packages = {}    # base: what its ZIP and MSI held, once both passed their checks


def anchors(ctx):
    """The anchors read: --key's key, --ca's roots, the roots a timestamp may chain to."""
    args = ctx.args
    if args.key:
        try:
            ctx.key_der = authenticode.load_key(args.key)
        except (ValueError, TypeError, NameError) as error:
            raise Usage(f"--key: not a PEM public key ({q(str(error)[:120])})")
    if args.ca and authenticode.available():
        ctx.roots = read_roots(ctx, "--ca", args.ca)
        ctx.ca_file = os.path.join(ctx.work, "ca-roots.pem")
        with open(ctx.ca_file, "wb") as out:
            out.write(authenticode.certificates_pem(ctx.roots))
    if args.crl and authenticode.available():
        with open(args.crl, "rb") as handle:
            try:
                ctx.crls = authenticode.crls_of(handle.read(ctx.limits.file))
            except ValueError as error:
                raise Usage(f"--crl: {q(args.crl)} holds no CRL that can be read ({q(str(error)[:120])})")
    # Timestamp authorities are public services: their roots are the system's, beside the
    # publisher's own and those of a private authority the publisher names (--tsa-ca).
    tsa_roots = read_roots(ctx, "--tsa-ca", args.tsa_ca) if args.tsa_ca and authenticode.available() else []
    ctx.tsa_roots = os.path.join(ctx.work, "tsa-roots.pem")
    with open(ctx.tsa_roots, "wb") as out:
        out.write(authenticode.certificates_pem(ctx.roots + tsa_roots))
        system = "/etc/ssl/certs/ca-certificates.crt"
        if os.path.isfile(system):
            with open(system, "rb") as handle:
                out.write(handle.read(ctx.limits.file).rstrip(b"\n") + b"\n")


def read_roots(ctx, option, path):
    """The certificates of a roots file the user gave, every block read; a usage error
    when it holds none, a block that is not one, or more than a file may."""
    with open(path, "rb") as handle:
        data = handle.read(ctx.limits.file + 1)
    if len(data) > ctx.limits.file:
        raise Usage(f"{option}: {q(path)} is larger than {ctx.limits.file} bytes")
    try:
        roots = authenticode.roots_of(data)
    except ValueError as error:
        raise Usage(f"{option}: {q(path)}: {error}")
    if not roots:
        raise Usage(f"{option}: {q(path)} holds no PEM certificate")
    return roots


def verify(ctx):
    args, report, policy, limits = ctx.args, ctx.report, ctx.policy, ctx.limits
    try:
        folder = folder_checks.Folder(args.dir, limits)
    except (Refused, OSError) as error:
        report.check("the folder can be read", q(str(error)))
        return
    ctx.folder = folder
    folder_checks.anchors_inside(folder, {"--" + option.replace("_", "-"): getattr(args, option)
                                          for option in ("ca", "key", "crl", "tsa_ca") if getattr(args, option)}, report)
    packages = [contract.suffix(kind) for kind in ("zip", "msi")]
    pattern = re.compile(contract.package_pattern() + "(" + "|".join(map(re.escape, packages)) + ")")
    bases, odd = {}, []
    prefix = contract.package_prefix()
    for name in folder.files:
        match = pattern.fullmatch(name)
        if match:
            bases[contract.package(match.group(1), match.group(2))] = match.groups()[:2]
        elif "/" not in name and name.startswith(prefix) and name.lower().endswith(tuple(map(str.lower, packages))):
            odd.append(name)
    if not bases:
        raise Usage(f"no release in {q(args.dir)} (no {contract.package_form()}{packages[0]} or {packages[1]})"
                    + ("; refused: " + ", ".join(q(name) for name in odd) if odd else ""))
    anchors(ctx)
    anchored = folder_checks.integrity(folder, report, policy, limits, bases)
    folder_checks.windows_names(folder, report)
    folder_checks.accounted(folder, bases, anchored, policy, report)
    for name in odd:
        report.check(f"{show(name)} is a release package", f"not a {contract.package_form()} name")
    recorded = {}
    for base, (version, arch) in sorted(bases.items()):
        if limits.checks.spent():
            report.check("the run ends within its time", f"its {limits.seconds} s are spent: {base} and what "
                         "follows not checked")
            break
        recorded[base] = release.check(base, version, arch, ctx)
    manifests.check(folder, bases, ctx)
    if args.rebuild:
        deadline = Deadline(limits.rebuild_seconds, "the rebuild")
        for base, (version, arch) in sorted(b for b in bases.items() if b[0] in recorded):
            rebuild.check(base, arch, recorded[base], ctx, deadline)
        for name in sorted(folder.files):
            if not name.startswith(tuple(base + "." for base in bases)):
                report.note(f"not rebuilt: {show(name)} (made from the files above)")


class Stopped(BaseException):
    """A signal ends the run; its temporary folder goes with it."""


HELD = {"verdict": False}   # once the verdict is being printed, no signal stops the run


def hold_signals(verdict=False):
    """From here on a signal that comes waits, and the process ends with it still waiting;
    with VERDICT, one already on its way when this is called is let go too, so what is
    printed from here on stands as printed."""
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    HELD["verdict"] = HELD["verdict"] or verdict


def main(argv):
    args = arguments(argv)
    limits = Limits()
    limits.cap_memory()
    report = Report(out=None if args.json else sys.stdout)
    os.environ["PATH"] = system_path(args.dir, os.environ.get("PATH", ""))
    # A subject is printed as the UTF-8 text it is; where the output cannot hold it, escaped.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")

    def stop(number, frame):
        # Once: the clean-up that follows is not to be cut short by a second signal.
        hold_signals()
        if not HELD["verdict"]:
            raise Stopped(number)
    # The handlers are set, and the temporary folder made, while no signal can come: from the
    # moment it exists, the folder's name is held where the clean-up finds it.
    hold_signals()
    HELD["verdict"] = False
    for each in STOP_SIGNALS:
        signal.signal(each, stop)
    work = tempfile.mkdtemp(prefix="verify-release.")
    try:
        try:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
            return run(args, work, report, limits)
        except BrokenPipeError:
            hold_signals()
            # Whoever read the verdict stopped reading: no traceback, and no second failure when
            # Python flushes what is left at exit. The status is SIGPIPE's, whichever of the
            # failed write and the signal came first.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 128 + signal.SIGPIPE
    except Stopped as stopped:
        number = stopped.args[0]
        if number == signal.SIGPIPE:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        try:
            print(f"verify-release: stopped by {signal.Signals(number).name}; nothing was proved", file=sys.stderr)
        except OSError:
            pass
        return 128 + number
    finally:
        hold_signals()
        shutil.rmtree(work, ignore_errors=True)


def run(args, work, report, limits):
    """The checks, the closing line and the tally; the status."""
    ctx = Context(args, work, report, limits.start())
    try:
        verify(ctx)
    except Usage as usage:
        hold_signals(verdict=True)
        print(f"verify-release: {usage}", file=sys.stderr)
        return 2
    except (SystemExit, BrokenPipeError):
        raise
    except MemoryError:
        report.check("the verifier ran within its memory", f"a file expanded past the run's "
                     f"{limits.memory >> 20} MiB")
    except Exception as error:  # the verdict, never a traceback, whatever a file held
        report.check("the verifier ran to its end", f"unexpected {type(error).__name__}: {q(str(error)[:300])}")
    # The verdict is decided and printed with every signal held: a tally printed is the status.
    hold_signals(verdict=True)
    proved = ctx.policy.closing(report, q)
    status = 0 if report.failed == 0 and report.passed > 0 else 1
    if args.json:
        report.json_end(proved, status)
    else:
        report.text_end(proved)
    return status
