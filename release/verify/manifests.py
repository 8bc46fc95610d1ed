"""The winget and Scoop manifests, when the release folder holds them (winget/ and scoop/,
outside SHA256SUMS): each must be exactly what release/manifests.py writes for the packages
of its version, every field, as parsed data, its header lines and its path too. The documents
expected are made by manifest_content, the code release/manifests.py writes with, from the
facts the package checks read (the hashes, each exe's machine and the Windows it needs, each
MSI's codes, the guide's first paragraph); only the download folder and the release notes'
address are the publisher's to choose, and they are shown. Nothing signs a manifest: it is
covered by the package hashes it names, and only by them. YAML is read with PyYAML's safe
loader (no aliases, no merge keys, no key twice) and JSON with json, both bounded."""
from . import contract, manifest_content, msi
from .folder import manifest_folders, sha256
from .jsondata import dig, strict
from .manifest_content import Unfit
from .report import Refused, q, show
from .tools import have

try:
    import yaml
except ImportError:
    yaml = None

MAX_EVENTS = 20000
MAX_PROBLEMS = 4


if yaml is not None:
    class StrictLoader(yaml.SafeLoader):
        """The safe loader, but a mapping may hold a key once (PyYAML keeps the last of two,
        other readers the first) and no merge key ('<<' folds another mapping in for PyYAML
        only)."""

        def construct_mapping(self, node, deep=False):
            if isinstance(node, yaml.MappingNode):
                seen = set()
                for key_node, _ in node.value:
                    line = key_node.start_mark.line + 1
                    if key_node.tag == "tag:yaml.org,2002:merge":
                        raise Refused(f"it holds a merge key ('<<') on line {line}, which the build never writes")
                    key = self.construct_object(key_node, deep=True)
                    try:
                        twice = key in seen
                        seen.add(key)
                    except TypeError:
                        raise Refused(f"it holds a key that is not a plain value on line {line}")
                    if twice:
                        raise Refused(f"it holds the key {q(key)} twice in one mapping (line {line})")
            return super().construct_mapping(node, deep=deep)


def load_yaml(data, name, limit):
    """A YAML document through the safe loader: bounded in size and events, no aliases (the
    build writes none, and they let a small file stand for a huge one), no key twice."""
    if yaml is None:
        raise Refused("cannot be read here (no PyYAML: Debian's python3-yaml)")
    if len(data) > limit:
        raise Refused(f"{name} is over {limit >> 10} KiB")
    try:
        text = data.decode("utf-8")
        for number, event in enumerate(yaml.parse(text, Loader=yaml.SafeLoader)):
            if isinstance(event, yaml.AliasEvent) or getattr(event, "anchor", None):
                raise Refused(f"{name} holds an alias or anchor, which the build never writes")
            if number > MAX_EVENTS:
                raise Refused(f"{name} holds more than {MAX_EVENTS} YAML events")
        return yaml.load(text, Loader=StrictLoader)
    except UnicodeDecodeError:
        raise Refused(f"{name} is not UTF-8")
    except RecursionError:
        raise Refused(f"{name} is nested too deeply")
    except yaml.YAMLError as error:
        raise Refused(f"{name} is not YAML as the build writes it: {q(str(error)[:160])}")


def expected_paths(versions):
    """{path in DIR: (kind, version)} of every manifest a release of VERSIONS may have (the
    Scoop manifest's version is the one it names)."""
    project = contract.project()
    paths = {}
    for version in versions:
        for kind, path in manifest_content.paths(project, version).items():
            paths[path] = (kind, None if kind == manifest_content.SCOOP else version)
    return paths


def facts_of(version, bases, ctx):
    """{arch: manifest_content.package_facts()} of every architecture of VERSION, from what
    the package checks left in ctx.packages; or the reason there are none."""
    found, problems = {}, []
    for arch in contract.arches():
        base = contract.package(version, arch)
        read = ctx.packages.get(base)
        if base not in bases:
            problems.append(f"no {base}{contract.suffix('zip')} or {contract.suffix('msi')} here")
            continue
        if read is None:
            problems.append(f"{base}'s ZIP and MSI did not pass their checks")
            continue
        try:
            found[arch] = manifest_content.package_facts(arch, read["exe"], read["guide"], read["msi"],
                                                         sha256(read["zip_bytes"]), sha256(read["msi_bytes"]))
        except Unfit as unfit:
            problems.append(f"{base}: {unfit}")
    if problems:
        return None, "the manifests name every architecture's packages, held to them here: " + "; ".join(problems[:3])
    return found, ""


def read_document(name, kind, data, limits):
    """The manifest NAME as parsed data, its header held to the build's first."""
    if kind == manifest_content.SCOOP:
        return strict(data, name, limits.record["manifest"])
    header = manifest_content.header(kind).encode()
    if not data.startswith(header):
        raise Refused(f"it does not start with the build's lines {q(header.decode())}")
    return load_yaml(data, name, limits.record["manifest"])


def chosen(documents, paths):
    """The download folder and release notes' address the manifests of one version name: the
    installer manifest's first URL without its file name (else Scoop's first), and the locale
    manifest's ReleaseNotesUrl. Everything else is then held to what they imply."""
    installer, locale = documents.get(paths["installer"]), documents.get(paths["defaultLocale"])
    scoop = documents.get(paths[manifest_content.SCOOP])
    url = dig(installer, "Installers", 0, "InstallerUrl", kind=str)
    if url is None:
        first = next(iter(dig(scoop, "architecture").values()), None) if dig(scoop, "architecture") else None
        url = dig(first, "url", kind=str)
    folder = url.rsplit("/", 1)[0] + "/" if url and "/" in url else None
    notes = dig(locale, "ReleaseNotesUrl", kind=str) or ""
    return folder, notes


def check(folder, bases, ctx):
    """BASES: {base: (version, arch)} of the release's packages, already checked; what they
    held is in ctx.packages."""
    report, limits, policy = ctx.report, ctx.limits, ctx.policy
    present = sorted(name for name in folder.files if name.split("/", 1)[0] in manifest_folders() and "/" in name)
    refused = sorted(name for name, _ in folder.refused if name.split("/", 1)[0] in manifest_folders())
    if not present and not refused:
        return
    versions = sorted({version for version, _ in bases.values()})
    paths = expected_paths(versions)
    ok = not refused
    for name in present:
        if name not in paths:
            report.check(show(name), "not a manifest the release makes (winget/ and scoop/ hold only those)")
            ok = False
    # Each manifest, parsed; the Scoop manifest is of the version it names.
    documents, by_version = {}, {}
    for name in [name for name in present if name in paths]:
        kind, version = paths[name]
        try:
            documents[name] = read_document(name, kind, folder.files[name], limits)
        except Refused as refusal:
            report.check(f"{show(name)} is what release/manifests.py writes", str(refusal))
            ok = False
            continue
        if version is None:
            named = dig(documents[name], "version", kind=str)
            version = named if named in versions else versions[0] if len(versions) == 1 else None
            if version is None:
                report.check(f"{show(name)} is what release/manifests.py writes",
                             f"its version {q(named)} is none of this folder's packages'")
                ok = False
                continue
        by_version.setdefault(version, []).append(name)
    for version in versions:
        winget = [path for path, (kind, of) in paths.items() if of == version]
        there = [path for path in winget if path in folder.files]
        if there and len(there) != len(winget):
            for path in sorted(set(winget) - set(there)):
                report.check(show(path), "missing beside the other winget manifests of this version")
            ok = False
    if not by_version:
        return
    if not (msi.available() and have("msiextract")) or manifest_content.pefile is None:
        # The MSIs' codes and the exes' needs are what the manifests say: unread, nothing is held.
        policy.unchecked(report, "the winget and Scoop manifests against the packages", "libmsi, msiextract and "
                         "pefile: Debian's python3-gi, gir1.2-libmsi-1.0, msitools and python3-pefile", origin=False)
        return
    folders = set()
    for version, names in sorted(by_version.items()):
        where = manifest_content.paths(contract.project(), version)
        url, notes = chosen({name: documents[name] for name in names}, where)
        packages, why = facts_of(version, bases, ctx)
        if not why and url is None:
            why = "its first installer (or Scoop's first architecture) names no URL to take the download folder from"
        expected = {}
        if not why:
            try:
                expected = manifest_content.documents(dict(contract.project(), version=version), version, url,
                                                      notes, packages)
            except Unfit as unfit:
                why = str(unfit)
        for name in sorted(names):
            problems = [why] if why else manifest_content.differences(documents[name], expected[name][1], quote=q)
            reason = "; ".join(problems[:MAX_PROBLEMS]) + (
                f"; and {len(problems) - MAX_PROBLEMS} more" if len(problems) > MAX_PROBLEMS else "")
            if not report.check(f"{show(name)} is what release/manifests.py writes for the packages of {version}",
                                reason):
                ok = False
        if not why:
            folders.add(manifest_content.release_folder(url))
            report.note(f"the manifests of {version} download from {q(manifest_content.release_folder(url))}"
                        + (f" and name the release notes {q(notes)}" if notes else "")
                        + ": the publisher's choice, to compare with what the publisher published")
    if ok:
        report.facts["manifests"] = sorted(folders)
