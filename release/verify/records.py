"""The SBOM (CycloneDX) and the provenance (an in-toto Statement of SLSA provenance) against
the files they describe; then the provenance's envelope and its Sigstore bundle."""
import hashlib
import os
import re
import urllib.parse

from . import bundle, contract, dsse
from .jsondata import dig, objects, strict
from .report import Refused, q, show
from .tools import OSSLSIGNCODE_NEEDED, brief, have


def wrong_hashes(holder, digests):
    """The algorithms of HOLDER's hashes that are not DIGESTS (its SHA-256 and SHA-512)."""
    listed = {h.get("alg"): h.get("content") for h in objects(holder.get("hashes"))}
    return [alg for alg, value in zip(("SHA-256", "SHA-512"), digests) if listed.get(alg) != value]


def sbom(name, base, files, exe_name, ctx):
    report, spec = ctx.report, contract.load()["records"]
    digests = {key: (hashlib.sha256(data).hexdigest(), hashlib.sha512(data).hexdigest()) for key, data in files.items()}
    try:
        bom = strict(ctx.folder.files[name], name, ctx.limits.record["sbom"])
        if not isinstance(bom, dict):
            raise Refused("not a JSON object")
        if bom.get("bomFormat") != spec["sbom_format"] or bom.get("specVersion") != spec["sbom_spec"]:
            raise Refused(f"bomFormat {q(bom.get('bomFormat'))}, specVersion {q(bom.get('specVersion'))}:"
                          f" not {spec['sbom_format']} {spec['sbom_spec']}")
        if not re.fullmatch(r"urn:uuid:[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}", str(bom.get("serialNumber"))):
            raise Refused("its serialNumber is not a urn:uuid")
        if dig(bom, "metadata", "component") is None or not isinstance(bom.get("components", []), list):
            raise Refused("no metadata.component, or components not a list")
        why = ""
    except Refused as refusal:
        bom, why = None, str(refusal)
    report.check(f"{name} is {spec['sbom_format']} {spec['sbom_spec']}", why)
    exe = contract.exe()
    if bom is not None and exe_name in files:
        component = dig(bom, "metadata", "component")
        why = "; ".join(f"its {alg} of {exe} is not the exe's" for alg in wrong_hashes(component, digests[exe_name]))
        if {"name": "bsi:component:filename", "value": exe} not in objects(component.get("properties")):
            why = "; ".join(filter(None, [why, f"no bsi:component:filename {exe}"]))
        report.check(f"{name}: the hashes of {exe}", why)
        references = {}
        for reference in objects(component.get("externalReferences")):
            if reference.get("type") == "distribution" and isinstance(reference.get("url"), str):
                references.setdefault(reference["url"], []).append(reference)
        for package in (base + contract.suffix("zip"), base + contract.suffix("msi")):
            if package not in files:
                continue
            entries = references.get(package, [])
            if len(entries) != 1:
                why = "not listed as a distribution" if not entries else "listed more than once"
            else:
                why = "; ".join(f"its {alg} is not the file's" for alg in wrong_hashes(entries[0], digests[package]))
            report.check(f"{name}: the hashes of {package}", why)
    schema(name, ctx.folder.files[name], ctx)


def provenance(name, arch, files, ctx):
    """The provenance's subjects against FILES; returns (statement or None, (commit, preset,
    [(package, arch, version)]) as recorded)."""
    report, spec = ctx.report, contract.load()["records"]
    try:
        statement = strict(ctx.folder.files[name], name, ctx.limits.record["provenance"])
        if (not isinstance(statement, dict) or statement.get("_type") != spec["statement_type"]
                or statement.get("predicateType") != spec["predicate_type"]):
            raise Refused("not an in-toto Statement v1 of SLSA provenance v1")
        why = ""
    except Refused as refusal:
        statement, why = None, str(refusal)
    report.check(f"{name} is SLSA provenance", why)
    if statement is None:
        return None, (None, None, [])
    subjects = {}
    for subject in objects(statement.get("subject")):
        key = subject.get("name")
        if not isinstance(key, str) or key in subjects:
            subjects[None] = None
            continue
        subjects[key] = dig(subject, "digest", "sha256", kind=str)
    if None in subjects:
        report.check(f"{name}: its subjects", "a subject without a name, or named twice")
    for key in sorted(files):
        digest = hashlib.sha256(files[key]).hexdigest()
        why = ("not a subject" if key not in subjects
               else "" if subjects[key] == digest else f"its subject digest is not the sha256 of {show(key)}")
        report.check(f"{name}: subject {show(key)}", why)
    for key in sorted(set(subjects) - set(files) - {None}):
        report.check(f"{name}: subject {show(key)}", "no such file in this release")
    parameters = dig(statement, "predicate", "buildDefinition", "externalParameters") or {}
    commit = dig(parameters, "source", "commit", kind=str)
    preset = dig(parameters, "preset", kind=str)
    want = contract.arch(arch)["preset"]
    why = ""
    if not (commit and re.fullmatch(r"[0-9a-f]{40}", commit)):
        why = f"the commit {q(commit)} is not 40 hex digits"
    elif preset != want:
        why = f"the preset {q(preset)} is not {want}, which makes {arch} packages"
    report.check(f"{name}: built from {show(commit or '')[:12]} with preset {q(preset)}", why)
    dependencies = []
    if not why:
        for dependency in objects(dig(statement, "predicate", "buildDefinition", "resolvedDependencies", kind=list)):
            found = re.fullmatch(r"pkg:deb/(?:[^@/?\s]+/)?([^@/?\s]+)@([^?\s]+)\?arch=([A-Za-z0-9-]+)",
                                 str(dependency.get("uri", "")))
            if found:
                # Whatever archive a package came from (or none apt could name), the rebuild
                # needs it at that version. A purl's parts are percent-encoded (g++ is g%2B%2B).
                package, version, which = (urllib.parse.unquote(part) for part in found.groups())
                package = package if which == "source" else dependency.get("name", package)
                version = dig(dependency, "annotations", "version", kind=str) or version
                if re.fullmatch(r"[a-z0-9][a-z0-9.+-]*", str(package)) and re.fullmatch(r"[A-Za-z0-9.+~:-]+", version):
                    dependencies.append((package, which, version))
        return statement, (commit, preset, dependencies)
    return statement, (None, None, [])


def check(base, arch, files, exe_name, exe_signature, ctx):
    """The SBOM, the provenance and its envelope against the files; returns (commit, preset,
    [(package, arch, version)]) as recorded, for a rebuild."""
    folder, report, policy = ctx.folder, ctx.report, ctx.policy
    sbom_name, provenance_name = base + contract.suffix("sbom"), base + contract.suffix("provenance")
    envelope_name, bundle_name = base + contract.suffix("envelope"), base + contract.suffix("bundle")
    for name in (sbom_name, provenance_name, envelope_name, bundle_name):
        if name not in folder.files:
            policy.missing(report, name)
    if sbom_name in folder.files:
        sbom(sbom_name, base, files, exe_name, ctx)
        files = dict(files, **{sbom_name: folder.files[sbom_name]})
    if provenance_name not in folder.files:
        return None, None, []
    statement, recorded = provenance(provenance_name, arch, files, ctx)
    if statement is None:
        return recorded
    signed = (dig(statement, "predicate", "buildDefinition", "externalParameters") or {}).get("signed")
    if exe_name in files and exe_signature.signed is None:
        report.note(f"not checked here: {provenance_name}'s signed {q(signed)} against the exe (no {OSSLSIGNCODE_NEEDED})")
    elif exe_name in files:
        why = "" if signed is exe_signature.signed else \
            f"says signed {q(signed)}, the exe is {'' if exe_signature.signed else 'not '}signed"
        report.check(f"{provenance_name}: signed {q(signed)}, as the exe is", why)
    dsse.check(base, provenance_name, envelope_name, signed, exe_signature, ctx)
    bundle.check(base, envelope_name, bundle_name, exe_signature, ctx)
    return recorded


def schema(name, data, ctx):
    """The full CycloneDX schema, by the build's own checker, only in a checkout the user
    named (--schema): never one found beside the verifier, which anyone may have put there."""
    args, report, spec = ctx.args, ctx.report, contract.load()["records"]
    schema_name = f"the {spec['sbom_format']} {spec['sbom_spec']} schema"
    if args.schema is None:
        report.note(f"not checked here: {name} against {schema_name} (--schema CHECKOUT checks it); "
                    "only the fields named in the lines above were checked")
        return
    checker = os.path.join(args.schema, "release", "sbom", "records.mjs")
    modules = args.node_modules or contract.node_modules(args.schema)
    missing = ("no node" if not have("node") else
               f"no release/sbom/records.mjs in {q(args.schema)}" if not os.path.isfile(checker) else
               f"no CycloneDX library in {q(modules)} (--node-modules DIR)"
               if not os.path.isdir(os.path.join(modules, "@cyclonedx")) else "")
    if missing:
        report.check(f"{name} passes {schema_name}", f"cannot be checked: {missing}")
        return
    copy = ctx.tools.write(".json", data)
    env = dict(os.environ, DORVANE_NODE_MODULES=os.path.realpath(modules))
    # (Node reserves far more address space than it uses: it keeps the system's bound. The
    # SBOM it reads is bounded above.)
    status, output = ctx.tools.run(["node", os.path.realpath(checker), "check", copy], env=env, memory=False)
    report.check(f"{name} passes {schema_name}, its licences and purls parse", "" if status == 0 else brief(output, 3))
