"""What the winget and Scoop manifests of one release say, computed from its packages' facts.
One piece of code for both sides: release/manifests.py gathers the facts from the files and
writes these documents; the verifier gathers the same facts from what it has read and checked
and holds the manifests it finds to these documents, every field. Only the download folder
and the release notes' address are the publisher's to choose. Nothing here reads a file, runs
a tool or looks at the clock."""
import re
import struct

from . import contract

try:
    import pefile
except ImportError:
    pefile = None

MANIFEST_VERSION = "1.12.0"
SCHEMA = "https://aka.ms/winget-manifest.{}.1.12.0.schema.json"
LOCALE = "en-US"
# The winget manifests by their ManifestType, which names their schema too.
WINGET_KINDS = ("version", "installer", "defaultLocale")
SCOOP = "scoop"
GUIDE = contract.member("guide")
TAGS = ["shutdown", "restart", "reboot", "logoff", "poweroff", "command-line", "administration", "scheduled-task"]
# Windows versions by the supportedOS ids an application manifest can name.
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": (6, 0),  # Vista
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": (6, 1),  # 7
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": (6, 2),  # 8
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": (6, 3),  # 8.1
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": (10, 0),  # 10 and 11
}
# Windows Installer 5.0 (an MSI's summary "Version" 500, the contract's) first came with Windows 7.
MSI_500_NEEDS = (6, 1)
# An address the manifests may name: https, printable ASCII, no spaces. Anything else could
# read differently to the package managers than to whoever checks it.
HTTPS = re.compile(r"https://[!-.0-~]+(/[!-~]*)?")
MANIFEST_LIMIT = 1 << 16   # the application manifest resource read, at most


class Unfit(ValueError):
    """Facts no manifest can be made of; its text says why."""


def exe_facts(exe):
    """The exe's architecture by its PE machine field, and the Windows it needs: the later of
    its subsystem version and the oldest Windows its application manifest names."""
    if pefile is None:
        raise Unfit("the exe cannot be read here (no Python pefile: Debian's python3-pefile)")
    try:
        pe = pefile.PE(data=exe, fast_load=True)
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        machine = pe.FILE_HEADER.Machine
        subsystem = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
        # The manifest resource (RT_MANIFEST, type 24): its first name's first language.
        manifest = None
        resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
        for kind in resources:
            if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"] and kind.directory.entries:
                languages = kind.directory.entries[0].directory.entries
                if languages:
                    data = languages[0].data.struct
                    manifest = pe.get_data(data.OffsetToData, min(data.Size, MANIFEST_LIMIT))
    except pefile.PEFormatError as error:
        raise Unfit("not a PE file (%s)" % error.value)
    except (AttributeError, IndexError, KeyError, TypeError, ValueError, OverflowError, struct.error) as error:
        raise Unfit("its resources cannot be read (%s)" % str(error)[:120])
    named = [arch for arch in contract.arches() if contract.arch(arch)["pe_machine"] == machine]
    if not named:
        raise Unfit("unknown PE machine 0x%04x" % machine)
    if not manifest:
        raise Unfit("the exe has no application manifest")
    ids = re.findall(rb'supportedOS\s+Id="\{([0-9a-fA-F-]+)\}"', manifest)
    versions = [SUPPORTED_OS[i.decode().lower()] for i in ids if i.decode().lower() in SUPPORTED_OS]
    if not versions:
        raise Unfit("the exe's manifest names no Windows version it supports")
    return named[0], max(subsystem, min(versions))


def installer_type(properties, fields, tables):
    """msi or wix, as winget's tools tell them apart: wingetcreate (and the winget-pkgs
    tooling that follows it) calls an MSI "wix" when a table or Property name or value,
    or the summary's creating application, mentions WiX. The contract's Upgrade table's
    actions are WIX_UPGRADE_DETECTED and WIX_DOWNGRADE_DETECTED, and SecureCustomProperties
    lists them, so our MSI is detected as wix; a manifest saying msi would not match the
    detected type. winget installs both with msiexec alike."""
    words = list(tables) + list(properties) + list(properties.values())
    words.append(fields.get("appname", ""))
    return "wix" if any("wix" in str(word).lower() or "windows installer xml" in str(word).lower()
                        for word in words) else "msi"


def version_string(version):
    return ".".join(str(part) for part in version) + ".0" * (4 - len(version))


def description(guide):
    """The guide's first paragraph: the long description."""
    try:
        text = guide.decode("ascii").replace("\r\n", "\n")
        paragraph = text.split("\n\n")[1]
    except (UnicodeDecodeError, IndexError):
        raise Unfit(f"its {GUIDE} is not ASCII text with a paragraph after its title")
    return " ".join(paragraph.split())


def package_facts(arch, exe, guide, msi_read, zip_sha256, msi_sha256):
    """What the manifests say of one architecture's ZIP and MSI: EXE and GUIDE are the ZIP's
    dorvane.exe and README.txt, MSI_READ the MSI as msi.read() reads it."""
    found, needs = exe_facts(exe)
    if found != arch:
        raise Unfit(f"{contract.package('<version>', arch)} holds an exe for {found}")
    try:
        properties = {key: value for key, value in msi_read["tables"]["Property"]["rows"]}
        fields, tables = msi_read["summary"], list(msi_read["tables"])
        kept = {key: properties[key] for key in ("ProductName", "Manufacturer", "ProductCode", "UpgradeCode")}
        installer = fields["version"]
        if not isinstance(installer, int) or not all(isinstance(value, str) for value in kept.values()):
            raise TypeError("not the values an MSI holds")
    except (KeyError, TypeError, ValueError) as error:
        raise Unfit(f"its MSI's Property table or summary is not an installer's ({str(error)[:80]})")
    return {"zip_sha256": zip_sha256.lower(), "msi_sha256": msi_sha256.lower(), "needs": needs,
            "msi_needs": max(needs, MSI_500_NEEDS) if installer >= 500 else needs,
            "installer_type": installer_type(properties, fields, tables), "properties": kept,
            "description": description(guide)}


def https_url(value, what):
    if not isinstance(value, str) or not HTTPS.fullmatch(value):
        raise Unfit(f"the {what} must be https://...: {value}")
    return value


def release_folder(url):
    """The folder every installer is downloaded from, as the manifests write it."""
    return https_url(url, "release URL").rstrip("/") + "/"


def scoop_checkver(url, version):
    """Where Scoop looks for the next version. Its autoupdate takes the next version's
    folder to be this one's with the version replaced, so the URL must name it."""
    if version not in url:
        raise Unfit("DORVANE_RELEASE_URL must name the version (%s) for Scoop's autoupdate to find "
                    "the next one: %s" % (version, url))
    github = re.match(r"(https://github\.com/[^/]+/[^/]+)/releases/download/", url)
    if github:
        return {"github": github.group(1)}
    # The folder above this version's lists the version folders.
    head, segment = url.rstrip("/").rsplit("/", 1)
    if version not in segment:
        raise Unfit("the last folder of DORVANE_RELEASE_URL must name the version: %s" % url)
    pattern = re.escape(segment).replace(re.escape(version), r"([\d.]+)")
    return {"url": head + "/", "regex": pattern + "/", "reverse": True}


def paths(project, version):
    """{kind: the manifest's path in the release folder}: the three winget manifests in
    manifests/<first letter>/<Publisher>/<Package>/<version>/, the identifier's parts as
    folders, and Scoop's app manifest."""
    spec, identifier = contract.load()["manifests"], project["winget_id"]
    top = "/".join([spec["winget"], "manifests", identifier[0].lower(), *identifier.split("."), version])
    return {"version": f"{top}/{identifier}.yaml", "installer": f"{top}/{identifier}.installer.yaml",
            "defaultLocale": f"{top}/{identifier}.locale.{LOCALE}.yaml",
            SCOOP: f"{spec['scoop']}/{project['scoop_name']}.json"}


def header(kind):
    """The lines every winget manifest of KIND starts with: its schema, for editors."""
    return "# yaml-language-server: $schema=%s\n\n" % SCHEMA.format(kind)


def documents(project, version, url, notes, packages):
    """{path: (kind, document)} of every manifest of VERSION. PROJECT: the names and addresses
    DORVANE is known by (publisher, homepage, license, description, winget_id, scoop_name);
    URL: the folder the files are served from; NOTES: the release notes' address or "";
    PACKAGES: {arch: package_facts()} for every architecture of the contract."""
    url = release_folder(url)
    if notes:
        https_url(notes, "release notes URL")
    checkver = scoop_checkver(url, version)
    missing = [arch for arch in contract.arches() if arch not in packages]
    if missing:
        raise Unfit("the manifests name every architecture: no " + ", ".join(
            contract.package(version, arch) for arch in missing))
    exe, command = contract.exe(), contract.exe().rsplit(".", 1)[0]
    msis, zips, scoop = [], [], {}
    for arch in contract.arches():
        facts, base = packages[arch], contract.package(version, arch)
        properties = facts["properties"]
        if properties["Manufacturer"] != project["publisher"]:
            raise Unfit("%s's Manufacturer %r is not the publisher %r"
                        % (base + contract.suffix("msi"), properties["Manufacturer"], project["publisher"]))
        architecture = contract.arch(arch)["winget"]
        msis.append({
            "Architecture": architecture, "InstallerType": facts["installer_type"], "Scope": "machine",
            "InstallerUrl": url + base + contract.suffix("msi"), "InstallerSha256": facts["msi_sha256"].upper(),
            "MinimumOSVersion": version_string(facts["msi_needs"]), "ElevationRequirement": "elevationRequired",
            "ProductCode": properties["ProductCode"],
            "AppsAndFeaturesEntries": [{
                "DisplayName": properties["ProductName"], "Publisher": properties["Manufacturer"],
                "ProductCode": properties["ProductCode"], "UpgradeCode": properties["UpgradeCode"]}],
            "Commands": [command]})
        zips.append({
            "Architecture": architecture, "InstallerType": "zip", "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{"RelativeFilePath": base + "\\" + exe, "PortableCommandAlias": command}],
            "InstallerUrl": url + base + contract.suffix("zip"), "InstallerSha256": facts["zip_sha256"].upper(),
            "MinimumOSVersion": version_string(facts["needs"]), "Commands": [command]})
        scoop[contract.arch(arch)["scoop"]] = {"url": url + base + contract.suffix("zip"), "hash": facts["zip_sha256"],
                                               "extract_dir": base}
    # The name and the long description are the last architecture's (every package has the same).
    last = packages[contract.arches()[-1]]
    where = paths(project, version)
    common = {"PackageIdentifier": project["winget_id"], "PackageVersion": version}
    found = {where["version"]: ("version", {**common, "DefaultLocale": LOCALE, "ManifestType": "version",
                                            "ManifestVersion": MANIFEST_VERSION}),
             where["installer"]: ("installer", {**common, "Installers": msis + zips, "ManifestType": "installer",
                                                "ManifestVersion": MANIFEST_VERSION})}
    locale = {**common, "PackageLocale": LOCALE, "Publisher": project["publisher"], "PublisherUrl": project["homepage"],
              "PackageName": last["properties"]["ProductName"], "PackageUrl": project["homepage"],
              "License": project["license"], "ShortDescription": project["description"],
              "Description": last["description"], "Moniker": command, "Tags": list(TAGS)}
    if notes:
        locale["ReleaseNotesUrl"] = notes
    locale.update({"ManifestType": "defaultLocale", "ManifestVersion": MANIFEST_VERSION})
    found[where["defaultLocale"]] = ("defaultLocale", locale)
    # Scoop: an app manifest for a bucket of our own, its architectures in Scoop's own order.
    order = contract.load()["manifests"]["scoop_order"]
    found[where[SCOOP]] = (SCOOP, {
        "version": version, "description": project["description"], "homepage": project["homepage"],
        "license": project["license"], "architecture": {key: scoop[key] for key in order}, "bin": exe,
        "checkver": checkver,
        "autoupdate": {
            "architecture": {
                key: {"url": scoop[key]["url"].replace(version, "$version"),
                      "extract_dir": scoop[key]["extract_dir"].replace(version, "$version")}
                for key in order},
            # Each ZIP's .sha256 beside it: "HASH  NAME".
            "hash": {"url": "$url" + contract.load()["checksum"], "regex": "$sha256\\s+$basename"},
        },
    })
    return found


def differences(found, expected, quote=repr, where=""):
    """How FOUND (a parsed manifest) differs from EXPECTED, one phrase per difference, each
    naming the field and showing values with QUOTE: types count (YAML's 1.10 is no '1.10')."""
    name = where or "the document"
    inside = where + "." if where else ""
    if isinstance(expected, dict):
        if not isinstance(found, dict):
            return [f"{name} is not a mapping"]
        problems = [f"{where or 'it'} holds {quote(key)}, which release/manifests.py never writes"
                    for key in found if key not in expected]
        for key in expected:
            problems += ([f"{inside}{key} is missing"] if key not in found else
                         differences(found[key], expected[key], quote, inside + key))
        return problems
    if isinstance(expected, list):
        if not isinstance(found, list):
            return [f"{name} is not a list"]
        problems = [] if len(found) == len(expected) else [f"{name} holds {len(found)} items, not {len(expected)}"]
        for number, (have, want) in enumerate(zip(found, expected)):
            problems += differences(have, want, quote, f"{name}[{number}]")
        return problems
    if type(found) is not type(expected) or found != expected:
        return [f"{name} is {quote(found)}, not {quote(expected)}"]
    return []
