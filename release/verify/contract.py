"""The release contract, release/contract.json: what a release is, written once, and the
values that fill it in for one release. The verifier carries a copy inside its one file."""
import functools
import hashlib
import json
import os
import pkgutil
import re
import uuid

PLACEHOLDER = re.compile(r"@([a-z_0-9.]+(?::[^@]+)?)@")


@functools.lru_cache(maxsize=None)
def load():
    """The contract: the copy packed beside this module (the verifier's one file), else the
    checkout's."""
    try:
        data = pkgutil.get_data(__package__, "contract.json")
    except OSError:
        data = None
    if data is None:
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "contract.json"), "rb") as f:
            data = f.read()
    return json.loads(data)


def fill(value, values):
    """VALUE (a string, number, None or a list of them) with each @name@ replaced from VALUES.
    A string that is one placeholder and nothing else takes the value's own type (a size
    stays a number); KeyError names an unknown placeholder."""
    if isinstance(value, list):
        return [fill(item, values) for item in value]
    if not isinstance(value, str):
        return value
    whole = PLACEHOLDER.fullmatch(value)
    if whole:
        return values[whole.group(1)]
    return PLACEHOLDER.sub(lambda match: str(values[match.group(1)]), value)


def members():
    """The files every package holds, in the contract's order."""
    return [member["name"] for member in load()["members"]]


def member(role):
    """The member of each package with that role: "program" (the exe), "guide" (whose first
    paragraph is the long description)."""
    return next(entry["name"] for entry in load()["members"] if entry.get("role") == role)


def exe():
    return member("program")


def arches():
    return list(load()["architectures"])


def arch(name):
    return load()["architectures"][name]


def package(version, arch_name):
    """dorvane-<version>-<arch>: the name every file of one architecture's release starts with."""
    return fill(load()["package"], {"version": version, "arch": arch_name})


def package_form():
    """A package's base name as a user reads it: dorvane-<version>-<win32|win64|arm64>."""
    return fill(load()["package"], {"version": "<version>", "arch": "<" + "|".join(arches()) + ">"})


def package_prefix():
    """What every package's base name starts with, before its version."""
    return PLACEHOLDER.split(load()["package"])[0]


def suffix(kind):
    """The file name ending of a release file: zip, msi, sbom, provenance, envelope, bundle."""
    return load()["files"][kind]


def package_pattern(version=r"[0-9][0-9A-Za-z.+~]*"):
    """A regular expression of a package's base name, its version and architecture as groups."""
    parts = re.split(r"(@version@|@arch@)", load()["package"])
    groups = {"@version@": f"({version})", "@arch@": "(" + "|".join(map(re.escape, arches())) + ")"}
    return "".join(groups.get(part, re.escape(part)) for part in parts)


def node_modules(checkout):
    """Where scripts/ensure-tools.sh records installs the npm packages in CHECKOUT."""
    return os.path.join(checkout, *load()["paths"]["node_modules"].split("/"))


def project():
    """Who publishes DORVANE and the names package repositories know it by."""
    return load()["project"]


def guid(name):
    """A name-based GUID (UUID version 5, RFC 9562) in the MSI's namespace, upper case."""
    return str(uuid.uuid5(uuid.UUID(load()["msi"]["namespace"]), name)).upper()


def filetime(epoch):
    """Seconds since 1970 as a Windows FILETIME: 100-nanosecond ticks since 1601."""
    return (int(epoch) + 11644473600) * 10_000_000


def msitools_of(summary):
    """The msitools version an MSI's summary names as the program that made it, when the
    summary names one in the contract's form, else None. Any release of msitools makes a
    release: the summary names whichever made it."""
    head, _, tail = load()["msi"]["summary"]["appname"].partition("@msitools@")
    form = re.escape(head) + "(" + load()["msi"]["msitools"] + ")" + re.escape(tail)
    value = summary.get("appname")
    match = re.fullmatch(form, value) if isinstance(value, str) else None
    return match.group(1) if match else None


def msi_values(arch_name, version, epoch, files, msitools=None):
    """The placeholders' values for one MSI. FILES maps each member's name to its bytes;
    MSITOOLS is the version of msitools that made it (None: "<version>")."""
    msi = load()["msi"]
    entry = arch(arch_name)["msi"]
    values = {"arch": arch_name, "version": version, "epoch": int(epoch), "filetime": filetime(epoch),
              "publisher": project()["publisher"], "msitools": "<version>" if msitools is None else msitools}
    values.update({key: value for key, value in entry.items() if not isinstance(value, dict)})
    values.update(msi["text"])
    values["cabinet"] = msi["cabinet"]
    # The package code covers the files' bytes, in the C locale's order of their names, so
    # that a signed and an unsigned package are told apart.
    values["members_sha256"] = hashlib.sha256(b"".join(files[name] for name in sorted(files))).hexdigest()
    values["product_code"] = guid(fill(msi["product_code"], values))
    values["package_code"] = guid(fill(msi["package_code"], values))
    for name, data in files.items():
        values[f"size:{name}"] = len(data)
        # Windows Installer's MsiFileHash: the MD5 as four signed 32-bit little-endian words.
        digest = hashlib.md5(data).digest()
        for part in range(4):
            values[f"md5.{part + 1}:{name}"] = int.from_bytes(digest[4 * part:4 * part + 4], "little", signed=True)
    return values


def msi_expected(arch_name, version, epoch, files, msitools=None):
    """The MSI the build makes of FILES for this architecture, version and commit time with
    that msitools (msi_values), as msi.read() reads one: every table with its columns, keys
    and rows, the summary and the streams (an Authenticode signature's streams aside)."""
    msi = load()["msi"]
    values = msi_values(arch_name, version, epoch, files, msitools)
    tables = {name: {"columns": table["columns"], "keys": table["keys"],
                     "rows": [fill(row, values) for row in table["rows"]]}
              for name, table in msi["tables"].items()}
    summary = {key: fill(value, values) for key, value in msi["summary"].items()}
    return {"tables": tables, "summary": summary, "streams": sorted(streams())}


def streams():
    """The streams the build writes into an MSI besides its tables' (a signature's aside)."""
    msi = load()["msi"]
    return fill(msi["streams"], {"cabinet": msi["cabinet"]})


def msi_differences(found, expected, quote=repr):
    """What of FOUND (an MSI as msi.read() reads it) differs from EXPECTED (msi_expected()), one
    phrase each, naming the rows and values that differ (each shown with QUOTE); none when it
    is that MSI, an Authenticode signature's streams aside."""
    problems = []
    for name in sorted(set(found["tables"]) | set(expected["tables"])):
        have, want = found["tables"].get(name), expected["tables"].get(name)
        if have is None or want is None:
            problems.append(f"table {quote(name)} {'is extra' if want is None else 'is missing'}")
        elif (have["columns"], have["keys"]) != (want["columns"], want["keys"]):
            problems.append(f"table {name}'s columns differ")
        else:
            extra, missing = _rows_apart(have["rows"], want["rows"])
            if extra or missing:
                problems.append(f"table {name}'s rows differ: " + "; ".join(filter(None, [
                    extra and "not the build's: " + ", ".join(quote(row) for row in extra[:3]),
                    missing and "the build's, not there: " + ", ".join(quote(row) for row in missing[:3])])))
    for key in sorted(set(found["summary"]) | set(expected["summary"])):
        if found["summary"].get(key) != expected["summary"].get(key):
            problems.append(f"summary {key} {quote(found['summary'].get(key))}, not {quote(expected['summary'].get(key))}")
    streams = [name for name in found["streams"] if name not in load()["msi"]["signature_streams"]]
    if streams != expected["streams"]:
        problems.append("streams " + ", ".join(quote(name) for name in streams))
    return problems


def _rows_apart(have, want):
    """The rows of HAVE that WANT lacks and those WANT has that HAVE lacks, each counted."""
    left = list(want)
    extra = []
    for row in have:
        if row in left:
            left.remove(row)
        else:
            extra.append(row)
    return extra, left
