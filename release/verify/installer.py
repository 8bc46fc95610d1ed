"""A release's MSI against the contract: the file exactly its compound file (cfb), nothing
after its last allocated sector; every table, row, column, stream and summary field
exactly as the build makes them for that version and architecture (release/contract.json,
through contract.msi_expected), the values that come from the files (sizes, MD5 parts, the
package code) derived from the files the MSI itself holds, and the commit time from its
summary's creation time. libmsi reads it in a child process of its own (msi.read_bounded):
a crash or an overrun is a failure with its reason, never a verdict. The tables are held to
the contract before anything is unpacked, so msiextract only ever sees the build's folder
and file names."""
import copy
import os
import shutil
import stat
import tempfile

from . import cfb, contract, msi
from .archive import Digest
from .folder import sha256
from .report import Refused, q, show
from .tools import brief, have

FILETIME_TICKS = 10_000_000
FILETIME_EPOCH = 11644473600


def epoch_of(summary):
    """The commit time the build wrote as the summary's creation time, or None."""
    value = summary.get("created_tm")
    if not isinstance(value, int) or isinstance(value, bool) or value % FILETIME_TICKS:
        return None
    epoch = value // FILETIME_TICKS - FILETIME_EPOCH
    return epoch if epoch > 0 else None


def variable_cells(arch, version, epoch, msitools):
    """Which cells of the expected MSI come from the files' bytes: those that differ between
    two made-up sets of files. {table: set of column numbers}, and summary fields."""
    one = {name: b"a" for name in contract.members()}
    two = {name: b"bb" for name in contract.members()}
    first, second = (contract.msi_expected(arch, version, epoch, files, msitools) for files in (one, two))
    columns = {}
    for name, table in first["tables"].items():
        for row_a, row_b in zip(table["rows"], second["tables"][name]["rows"]):
            columns.setdefault(name, set()).update(i for i, (a, b) in enumerate(zip(row_a, row_b)) if a != b)
    fields = {key for key in first["summary"] if first["summary"][key] != second["summary"][key]}
    return first, columns, fields


def masked(found, columns, fields):
    """FOUND with the cells that come from the files' bytes blanked."""
    found = copy.deepcopy(found)
    for name, kept in columns.items():
        table = found["tables"].get(name)
        if table is None or not kept:
            continue
        table["rows"] = [[None if i in kept else cell for i, cell in enumerate(row)] if isinstance(row, list) else row
                         for row in table["rows"]]
    for key in fields:
        if key in found["summary"]:
            found["summary"][key] = None
    return found


def differences(found, arch, version, epoch, files=None):
    """How FOUND differs from the MSI the build makes, in a phrase, or "". Without FILES (before
    anything is unpacked), the cells that come from the files' bytes are left out. The
    msitools that made it is the one its summary names, in the contract's form."""
    msitools = contract.msitools_of(found["summary"])
    if files is None:
        expected, columns, fields = variable_cells(arch, version, epoch, msitools)
        problems = contract.msi_differences(masked(found, columns, fields), masked(expected, columns, fields), quote=q)
    else:
        problems = contract.msi_differences(found, contract.msi_expected(arch, version, epoch, files, msitools),
                                            quote=q)
    return "; ".join(problems[:4]) + (f"; and {len(problems) - 4} more" if len(problems) > 4 else "")


def shape_of(found):
    """Whether the reader's answer has the shape msi.read() gives (it is data from a child)."""
    if not isinstance(found, dict) or not isinstance(found.get("tables"), dict) or \
            not isinstance(found.get("summary"), dict) or not isinstance(found.get("streams"), list):
        return False
    return all(isinstance(table, dict) and isinstance(table.get("rows"), list) and
               all(isinstance(row, list) for row in table["rows"]) for table in found["tables"].values())


# The tables' own streams beside the tables libmsi lists: its string pool and catalogues.
SYSTEM_STREAMS = {"_StringData", "_StringPool", "_Tables", "_Columns"}


def stream_names(data):
    """The names of the streams an MSI's compound file holds that are not a table's, or None
    when its directory cannot be read."""
    try:
        return {cfb.msi_name(stored)[1] for kind, stored in cfb.entries(data)
                if kind == "stream" and not cfb.msi_name(stored)[0]}
    except Refused:
        return None


def accounted(data, tables):
    """Why the compound file holds a stream or storage the build does not write, or "": no
    storage (where embedded transforms and nested packages live), no name twice, a table's
    stream only for a table it lists, and no other stream but the contract's and the
    signature's (which the signature check holds to osslsigncode's reading of them)."""
    spec = contract.load()["msi"]
    allowed = set(contract.streams()) | set(spec["signature_streams"])
    try:
        found = cfb.entries(data)
    except Refused as refusal:
        return str(refusal)
    problems, seen = [], set()
    for kind, stored in found:
        table, name = cfb.msi_name(stored)
        shown = q(name)
        if kind == "storage":
            problems.append(f"a storage {shown} (where embedded transforms and nested packages live): the build "
                            "writes none")
        elif (table, name) in seen:
            problems.append(f"the stream {shown} twice")
        elif not cfb.stored_as_msi_stores(table, name, stored):
            problems.append(f"a stream {shown} stored under a name Windows Installer does not look up "
                            f"({q(stored)}, not {q(cfb.msi_encode(table, name))})")
        elif table and name not in set(tables) | SYSTEM_STREAMS:
            problems.append(f"a table's stream {shown} for no table it lists")
        elif not table and name not in allowed:
            problems.append(f"a stream {shown} the build does not write")
        seen.add((table, name))
    return "; ".join(problems[:4])


def check(path, base, version, arch, ctx):
    """The MSI's files (the exe's bytes, the others as digests) when it is the build's MSI,
    else None; and the tables as read (for its signature's extended stream)."""
    label = base + contract.suffix("msi")
    report, policy, limits = ctx.report, ctx.policy, ctx.limits
    with open(path, "rb") as handle:
        data = handle.read(limits.file + 1)
    if not report.check(f"{label} ends where its compound file ends", cfb.past_the_end(data)):
        return None, None
    what = f"the tables and files inside {label}"
    if not msi.available() or not have("msiextract"):
        policy.unchecked(report, what, "libmsi's Python bindings and msiextract: Debian's python3-gi, "
                         "gir1.2-libmsi-1.0 and msitools", origin=False)
        return None, None
    try:
        found = msi.read_bounded(path, limits.msi_cpu_seconds, limits.msi_memory,
                                 min(limits.msi_seconds, max(1, limits.checks.left())), limits.msi_answer)
        if not shape_of(found):
            raise msi.Unreadable("its reader's answer is not tables, a summary and streams")
    except msi.Unreadable as error:
        report.check(f"{label}: its tables can be read", str(error))
        return None, None
    if not report.check(f"{label} holds no stream or storage the build does not write",
                        accounted(data, found["tables"])):
        return None, found
    epoch = epoch_of(found["summary"])
    name = f"{label} holds every table, row, stream and summary field the build makes ({version}, {arch})"
    if epoch is None:
        report.check(name, f"its creation time {q(found['summary'].get('created_tm'))} is not a commit time "
                     "as the build writes one")
        return None, found
    problems = differences(found, arch, version, epoch)
    if problems:
        report.check(name, problems)
        return None, found
    files = extract(path, label, ctx)
    if files is None:
        return None, found
    if not report.check(name, differences(found, arch, version, epoch, files)):
        return None, found
    exe = contract.exe()
    return {member: data if member == exe else Digest(sha256(data)) for member, data in files.items()}, found


def extract(path, label, ctx):
    """The MSI's members as msiextract unpacks them, bounded; None after a failure."""
    report, limits = ctx.report, ctx.limits
    members = contract.members()
    if limits.inflated - limits.inflated_so_far < len(members) * limits.member or limits.checks.spent():
        report.check(f"{label} unpacks within bounds", f"not unpacked: what is left of the run's "
                     f"{limits.inflated >> 20} MiB and {limits.seconds} s may not hold it")
        return None
    into = tempfile.mkdtemp(dir=ctx.work)
    try:
        status, output = ctx.tools.run(["msiextract", "-C", into, path], fsize=limits.member)
        if status != 0:
            report.check(f"{label} unpacks within bounds",
                         f"msiextract failed (each file is limited to {limits.member >> 20} MiB): {brief(output)}")
            return None
        found, total = {}, 0
        for root, _, names in os.walk(into):
            for name in names:
                full = os.path.join(root, name)
                info = os.lstat(full)
                if not stat.S_ISREG(info.st_mode) or name in found or name not in members:
                    report.check(f"{label} unpacks to its files", f"{show(name)} is not one of them, or is there twice")
                    return None
                with open(full, "rb") as handle:
                    data = handle.read(limits.member + 1)
                total += len(data)
                found[name] = data
        limits.inflated_so_far += total
        if limits.inflated_so_far > limits.inflated:
            report.check(f"{label} unpacks within bounds", f"the folder's ZIPs and MSIs inflate past "
                         f"{limits.inflated >> 20} MiB in all")
            return None
        if sorted(found) != sorted(members):
            report.check(f"{label} unpacks to its files", "it lacks " + ", ".join(sorted(set(members) - set(found))))
            return None
        report.check(f"{label} unpacks within bounds ({total} bytes)")
        return found
    finally:
        shutil.rmtree(into, ignore_errors=True)
