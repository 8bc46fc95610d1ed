"""The winget and Scoop manifests, when the release folder holds them (winget/ and scoop/,
outside SHA256SUMS): only the files release/manifests.py writes, each naming the packages by
their file names, their URLs' file names and their SHA-256s. Nothing signs a manifest: it is
covered by the package hashes it names, and only by them. YAML is read with PyYAML's safe
loader and JSON with json, both bounded."""
import posixpath

from . import contract
from .folder import manifest_folders, sha256
from .jsondata import dig, objects, strict
from .report import Refused, q, show

try:
    import yaml
except ImportError:
    yaml = None

MAX_EVENTS = 20000


def expected_paths(versions):
    """{path in DIR: (kind, version)} of every manifest a release of VERSIONS has."""
    project, spec = contract.project(), contract.load()["manifests"]
    identifier = project["winget_id"]
    paths = {}
    for version in versions:
        top = "/".join([spec["winget"], "manifests", identifier[0].lower(), *identifier.split("."), version])
        paths[f"{top}/{identifier}.yaml"] = ("version", version)
        paths[f"{top}/{identifier}.installer.yaml"] = ("installer", version)
        paths[f"{top}/{identifier}.locale.en-US.yaml"] = ("locale", version)
    paths[f"{spec['scoop']}/{project['scoop_name']}.json"] = ("scoop", None)
    return paths


def load_yaml(data, name, limit):
    """A YAML document through the safe loader: bounded in size and events, no aliases (the
    build writes none, and they let a small file stand for a huge one)."""
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
        return yaml.safe_load(text)
    except UnicodeDecodeError:
        raise Refused(f"{name} is not UTF-8")
    except yaml.YAMLError as error:
        raise Refused(f"{name} is not YAML: {q(str(error)[:160])}")


def url_file(url):
    """The file name a URL ends with, or None."""
    if not isinstance(url, str) or not url.startswith("https://") or "?" in url or "#" in url:
        return None
    return posixpath.basename(url)


def named_packages(pairs, packages, kind):
    """Why the (url, sha256) PAIRS do not name exactly PACKAGES {file name: bytes}, or ""."""
    problems, seen = [], []
    for url, digest in pairs:
        name = url_file(url)
        if name is None or name not in packages:
            problems.append(f"{kind} URL {q(url)} names no {kind} package of this release")
        elif digest not in (sha256(packages[name]), sha256(packages[name]).upper()):
            problems.append(f"the SHA-256 it gives {show(name)} is not the file's")
        else:
            seen.append(name)
    missing = sorted(set(packages) - set(seen))
    if missing:
        problems.append("it does not name " + ", ".join(show(name) for name in missing))
    twice = sorted({name for name in seen if seen.count(name) > 1})
    if twice:
        problems.append("it names " + ", ".join(show(name) for name in twice) + " twice")
    return "; ".join(problems[:4])


def check(folder, bases, ctx):
    """BASES: {base: (version, arch)} of the release's packages."""
    report, limits = ctx.report, ctx.limits
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
    suffixes = (contract.suffix("zip"), contract.suffix("msi"))
    for version in versions:
        winget = [path for path, (kind, of) in paths.items() if of == version]
        there = [path for path in winget if path in folder.files]
        if there and len(there) != len(winget):
            for path in sorted(set(winget) - set(there)):
                report.check(show(path), "missing beside the other winget manifests of this version")
            ok = False
    for name in present:
        if name not in paths:
            continue
        kind, version = paths[name]
        packages = {base + suffix: folder.files[base + suffix] for base, (of, _) in bases.items()
                    for suffix in suffixes if base + suffix in folder.files and (version is None or of == version)}
        why = ""
        try:
            if kind == "scoop":
                document = strict(folder.files[name], name, limits.record["manifest"])
                zips = {file: data for file, data in packages.items() if file.endswith(contract.suffix("zip"))}
                architectures = dig(document, "architecture") or {}
                pairs = [(dig(entry, "url", kind=str), dig(entry, "hash", kind=str)) for entry in architectures.values()
                         if isinstance(entry, dict)]
                why = named_packages(pairs, zips, "ZIP")
                for key, entry in architectures.items():
                    name_of = url_file(dig(entry, "url", kind=str))
                    if name_of and name_of.endswith(contract.suffix("zip")) and \
                            dig(entry, "extract_dir", kind=str) != name_of[:-len(contract.suffix("zip"))]:
                        why = "; ".join(filter(None, [why, f"its {q(key)} extract_dir is not its ZIP's folder"]))
            else:
                document = load_yaml(folder.files[name], name, limits.record["manifest"])
                identifier = contract.project()["winget_id"]
                if dig(document, "PackageIdentifier", kind=str) != identifier or \
                        dig(document, "PackageVersion", kind=str) != version:
                    why = f"it is not the manifest of {identifier} {version}"
                elif kind == "installer":
                    installers = objects(dig(document, "Installers", kind=list))
                    pairs = [(item.get("InstallerUrl"), item.get("InstallerSha256")) for item in installers]
                    if len(installers) != len(document["Installers"]):
                        why = "an installer that is not a mapping"
                    else:
                        why = named_packages(pairs, packages, "installer")
        except Refused as refusal:
            why = str(refusal)
        what = ("names the packages by their file names and SHA-256s" if kind in ("installer", "scoop")
                else "is the winget manifest of this version")
        if not report.check(f"{show(name)} {what}", why):
            ok = False
    if ok:
        report.facts["manifests"] = True
