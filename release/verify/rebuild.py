"""--rebuild: the recorded commit built again with the recorded preset, and every file of the
release compared with the rebuild's byte for byte. It has a budget of its own (a build's),
not the checks'; a step it cannot run is a failure that names it, and every tool's status
is checked."""
import os
import shutil
import zipfile

from . import contract, jsondata
from .archive import fingerprint, Digest
from .folder import plain_name
from .limits import Deadline
from .report import Refused, q, show
from .tools import NOT_RUN, OSSLSIGNCODE_NEEDED, brief, have


def installed(name, which, ctx, deadline):
    """(version installed here or "", why dpkg-query could not say)."""
    for query in (f"{name}:{which}", name):
        status, output = ctx.tools.run(["dpkg-query", "-W", "-f=${Version}", "--", query], deadline=deadline,
                                       memory=False)
        if status == 0 and output.strip():
            return output.strip(), ""
        if status != 1:  # dpkg-query's own status for "no such package"
            return "", f"dpkg-query could not be asked (status {status}): {brief(output, 1)}"
    return "", ""


def check(base, arch, recorded, ctx, deadline):
    args, report, folder = ctx.args, ctx.report, ctx.folder
    commit, preset, dependencies = recorded
    commit, preset = args.commit or commit, args.preset or preset
    run = ctx.tools.run

    def step(argv, what, **options):
        status, output = run(argv, deadline=deadline, memory=False, **options)
        if status == NOT_RUN:
            return f"{what}: not run, {deadline.what}'s {deadline.seconds} s are spent" if deadline.spent() \
                else f"{what}: stopped after its time"
        return "" if status == 0 else f"{what} failed (status {status}): {brief(output, 3)}"

    if ctx.exe.get(base) is not None and ctx.signed.get(base) is None:
        report.check(f"{base}: rebuilt", f"whether its exe is signed is not known here (no {OSSLSIGNCODE_NEEDED}), so what "
                     "to compare is not known")
        return
    if dependencies:
        differ = 0
        for name, which, version in dependencies:
            if which == "source":
                # Not installed but fetched: the sysroot script checks its .dsc's digest itself.
                report.note(f"{base}: built from Debian's source package {name} {version} (not an installed one)")
                continue
            here, why = installed(name, which, ctx, deadline)
            if why:
                report.check(f"{base}: Debian package {name} ({which})", why)
                differ += 1
            elif here != version:
                report.check(f"{base}: Debian package {name} ({which})",
                             f"recorded {version}, here {q(here) if here else 'not installed'}")
                differ += 1
        report.check(f"{base}: the recorded Debian packages ({len(dependencies)}) are those installed here",
                     f"{differ} differ or could not be asked" if differ else "")
        if differ and not args.anyway:
            report.note(f"{base} not rebuilt: the packages differ (--anyway rebuilds all the same)")
            return
    if not commit or not preset:
        report.check(f"{base}: rebuilt", "no provenance to read the commit and preset from (--commit, --preset)")
        return
    if preset != contract.arch(arch)["preset"]:
        report.check(f"{base}: rebuilt", f"{show(preset)} does not make {arch} packages")
        return
    tree = os.path.join(ctx.work, "rebuild-" + commit[:12])
    if not os.path.isdir(tree):
        why = step(["git", "clone", "-q", "--no-checkout", "--", args.rebuild, tree], f"git clone {q(args.rebuild)}")
        why = why or step(["git", "-C", tree, "checkout", "-q", "--detach", commit], f"git checkout {commit}")
        if not report.check(f"sources at {commit}", why):
            shutil.rmtree(tree, ignore_errors=True)
            return
    extra = ["-DDORVANE_BUILD_TESTS=OFF"]
    if args.arm64_cache:
        extra.append("-DDORVANE_ARM64_CACHE=" + os.path.realpath(args.arm64_cache))
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}  # the commit's time, from git
    lock = os.path.join(tree, "release", "sbom", "package-lock.json")
    if os.path.isfile(lock):
        # The SBOM's npm packages, as that commit pins them: those in DORVANE_NODE_MODULES
        # when they are the same, else installed into the throwaway folder.
        modules = contract.node_modules(tree)
        given = os.environ.get("DORVANE_NODE_MODULES", "")
        if given and os.path.isfile(os.path.join(given, ".dorvane-lock.json")):
            with open(lock, "rb") as a, open(os.path.join(given, ".dorvane-lock.json"), "rb") as b:
                if a.read() == b.read():
                    modules = given
        why = step(["bash", os.path.join(tree, "scripts", "ensure-tools.sh"), "records"],
                   "the SBOM's npm packages (scripts/ensure-tools.sh records)", env=dict(env, DORVANE_NODE_MODULES=modules))
        if not report.check(f"{base}: the npm packages that write the SBOM", why):
            return
        extra.append("-DDORVANE_NODE_MODULES=" + modules)
    why = step(["cmake", "--preset", preset] + extra, f"cmake --preset {preset}", cwd=tree, env=env)
    why = why or step(["cmake", "--build", "--preset", preset, "--target", "package"],
                      f"cmake --build --preset {preset} --target package", cwd=tree, env=env)
    if not report.check(f"rebuilt {preset} at {commit[:12]}", why):
        return
    # The package folder the rebuilt tree's project.json names, inside that tree.
    built = os.path.join(tree, "build", preset)
    try:
        with open(os.path.join(built, "project.json"), "rb") as handle:
            facts = jsondata.strict(handle.read((1 << 16) + 1), "project.json", 1 << 16)
        named = jsondata.dig(facts, "package", "folder", kind=str)
    except (OSError, Refused):
        named = None
    if not report.check(f"{base}: the rebuild's project.json names its package folder",
                        "" if named and plain_name(named) else "it names none, or not a relative one"):
        return
    made = os.path.join(built, named)
    members, exe = contract.members(), contract.exe()
    if ctx.signed.get(base):
        # Without the signing key the rebuild is unsigned: the exe, its signature taken off,
        # and the files beside it in the ZIP are compared; the signed files as wholes are not.
        report.note(f"{base} is signed: its signed files need the signing key to be rebuilt; "
                    "comparing the unsigned exe and the ZIP's other files")
        signed_exe = ctx.tools.write(".exe", ctx.exe[base])
        unsigned = ctx.tools.scratch(".exe")
        why = step(["osslsigncode", "remove-signature", "-in", signed_exe, "-out", unsigned],
                   "osslsigncode remove-signature")
        if not report.check(f"{base}: the exe with its signature removed", why):
            return
        ours = dict(ctx.zip[base] or {})
        with open(unsigned, "rb") as handle:
            ours[exe] = handle.read()
        try:
            with zipfile.ZipFile(os.path.join(made, base + contract.suffix("zip"))) as archive:
                theirs = {name: archive.read(f"{base}/{name}") for name in members}
        except (OSError, KeyError, zipfile.BadZipFile):
            theirs = {}
        compare = [(name, ours.get(name), theirs.get(name)) for name in members]
    else:
        compare = []
        for name in sorted(folder.files):
            if name.startswith(base + ".") and "/" not in name:
                path = os.path.join(made, name)
                rebuilt = None
                if os.path.isfile(path):
                    with open(path, "rb") as handle:
                        rebuilt = handle.read()
                compare.append((name, folder.files[name], rebuilt))
    for name, ours, theirs in compare:
        why = ("the rebuild made no " + name if theirs is None else
               "" if fingerprint(ours) == fingerprint(theirs) else "differs from the rebuild's")
        if report.check(f"rebuilt, byte for byte: {show(name)}", why):
            ctx.report.facts.setdefault("rebuilt", []).append(name)
        if why and theirs is not None and not isinstance(ours, Digest) and have("diffoscope"):
            mine, other = ctx.tools.write("-release", ours or b""), ctx.tools.write("-rebuild", theirs)
            status, output = run(["diffoscope", "--exclude-command", "^objdump", "--no-progress", mine, other],
                                 deadline=Deadline(300, "diffoscope"), out_limit=64 << 10, memory=False)
            if status not in (0, 1):
                report.note(f"diffoscope could not compare {show(name)} (status {status})")
                continue
            if report.out is None:
                continue
            print(f"diffoscope {show(name)} (the release, then the rebuild):", file=report.out)
            for line in output.splitlines()[:200]:
                print("  | " + line.encode("ascii", "backslashreplace").decode("ascii"), file=report.out)
