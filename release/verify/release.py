"""One architecture's release, dorvane-<version>-<arch>: its ZIP and MSI, the exe inside them,
their signatures, and the records that describe them. Each check is printed under the file
it was made on."""
import os

from . import archive, authenticode, contract, installer, manifest_content, pe, records
from .archive import fingerprint
from .folder import sha256
from .report import Refused


def spender(limits):
    """What counts each inflated byte against the run's bounds."""
    def spend(size):
        limits.inflated_so_far += size
        if limits.inflated_so_far > limits.inflated:
            raise Refused(f"the folder's ZIPs and MSIs inflate past {limits.inflated >> 20} MiB in all: "
                          "not unpacked further")
        if limits.checks.spent():
            raise Refused(f"the run's {limits.seconds} s are spent: not unpacked further")
    return spend


def check(base, version, arch, ctx):
    """Returns what the provenance records, for a rebuild: (commit, preset, dependencies)."""
    folder, report, limits = ctx.folder, ctx.report, ctx.limits
    zip_name, msi_name = base + contract.suffix("zip"), base + contract.suffix("msi")
    exe = contract.exe()
    files = {}
    for name, other in ((zip_name, msi_name), (msi_name, zip_name)):
        if name not in folder.files:
            report.check(name, f"missing beside {other}")
        else:
            files[name] = folder.files[name]
    zip_members = msi_files = None
    if zip_name in files:
        checks, zip_members = archive.read(files[zip_name], base, contract.members(), {exe, manifest_content.GUIDE},
                                           limits, spender(limits))
        for name, why in checks:
            report.check(name, why)
    msi_path, msi_read = None, None
    if msi_name in files:
        msi_path = ctx.tools.write(contract.suffix("msi"), files[msi_name])
        msi_files, msi_read = installer.check(msi_path, base, version, arch, ctx)
    if zip_members is not None and msi_files is not None:
        differ = [name for name in contract.members() if fingerprint(msi_files.get(name)) != fingerprint(zip_members.get(name))]
        why = ""
        if exe in differ:
            why = (f"its {exe} ({sha256(msi_files[exe])[:16]}...) differs from {zip_name}'s "
                   f"({sha256(zip_members[exe])[:16]}...)")
        elif differ:
            why = "its " + ", ".join(differ) + " differ from the ZIP's"
        if report.check(f"{msi_name} holds the same files as {zip_name}", why):
            # What the manifests of this version say of these packages is made from these.
            ctx.packages[base] = {"exe": zip_members[exe], "guide": zip_members[manifest_content.GUIDE],
                                  "msi": msi_read, "zip_bytes": files[zip_name], "msi_bytes": files[msi_name]}
    # The exe is examined where it was found whole: in the ZIP, else in the MSI.
    source, members = (zip_name, zip_members) if zip_members is not None else (msi_name, msi_files)
    exe_bytes = (members or {}).get(exe)
    exe_name = f"{base}/{exe}"
    exe_signature = authenticode.Signature()
    if exe_bytes is not None:
        files[exe_name] = exe_bytes
        label = f"{source}: {exe}"
        pkcs7 = pe.header(exe_bytes, contract.arch(arch)["pe_machine"], arch, label, report, ctx.policy)
        exe_path = ctx.tools.write(".exe", exe_bytes)
        exe_signature = authenticode.check(exe_path, pkcs7, label, ctx)
        os.remove(exe_path)
    if msi_path is not None:
        streams = installer.stream_names(files[msi_name])
        pkcs7 = authenticode.msi_pkcs7(msi_path, streams, ctx) if ctx.osslsigncode else None
        dse = None if streams is None else authenticode.MSI_DSE_STREAM in streams
        msi_signature = authenticode.check(msi_path, pkcs7, msi_name, ctx, dse=dse)
        if exe_bytes is not None and None not in (msi_signature.signed, exe_signature.signed) \
                and msi_signature.signed != exe_signature.signed:
            report.check(f"{msi_name} is signed as its exe is",
                         f"the exe is {'' if exe_signature.signed else 'not '}signed, "
                         f"the MSI is {'' if msi_signature.signed else 'not '}signed")
        elif exe_signature.verified and msi_signature.verified and exe_signature.spki != msi_signature.spki:
            report.check(f"{msi_name} is signed by its exe's signer",
                         f'the exe by "{exe_signature.subject}", the MSI by "{msi_signature.subject}"')
        os.remove(msi_path)
    recorded = records.check(base, arch, files, exe_name, exe_signature, ctx)
    ctx.signed[base] = exe_signature.signed
    if ctx.args.rebuild:
        ctx.exe[base] = exe_bytes
        ctx.zip[base] = zip_members
    return recorded
