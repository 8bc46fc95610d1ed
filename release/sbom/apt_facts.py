"""What apt knows of installed Debian packages, for records.mjs: the archive each installed
version came from and the SHA-256 of its .deb, read through python3-apt rather than from
apt-cache's layout for people.

usage: /usr/bin/python3 -I apt_facts.py [--pkgcache DIR] < PACKAGES
PACKAGES is a JSON list of {"name", "arch", "version"}, as dpkg names them (arch "all" is
apt's native architecture). The answer, on stdout, is a JSON list in the same order of
{"origin": {"name", "label", "archive"} or null, "sha256": "..." or null}. --pkgcache DIR
keeps apt's binary cache there: on machines that switch it off, apt would rebuild it for
every run. apt's configuration is the machine's, or the caller's APT_CONFIG.
"""
import json
import sys

try:
    import apt_pkg
except ImportError:
    sys.exit("apt_facts.py: python3-apt is missing; install it with: scripts/ensure-tools.sh records")


def origin(sources, pkg):
    """Where the installed version came from: the first index listing it whose Release file
    names an origin (dpkg's status names none), as apt-cache policy shows it; or None."""
    ver = pkg.current_ver if pkg else None
    for pkgfile, _ in ver.file_list if ver else []:
        index = sources.find_index(pkgfile)
        if not pkgfile.origin or index is None:
            continue
        # apt describes an index by its source line and, in brackets, its file in the lists.
        archive = index.describe
        if archive.endswith(f" ({pkgfile.filename})"):
            archive = archive[: -len(pkgfile.filename) - 3]
        return {"name": pkgfile.origin, "label": pkgfile.label or pkgfile.origin, "archive": archive}
    return None


def sha256(records, pkg, version, arch):
    """The .deb's SHA-256 as the archive published it, from the paragraph that apt-cache show
    picks (the first index that is not dpkg's status); None where no archive lists it."""
    for ver in pkg.version_list if pkg else []:
        if ver.ver_str != version or not ver.file_list:
            continue
        chosen = next((f for f in ver.file_list if not f[0].not_source), ver.file_list[0])
        if not records.lookup(chosen):
            return None
        section = apt_pkg.TagSection(records.record)
        if (section.get("Package"), section.get("Version"), section.get("Architecture")) != (pkg.name, version, arch):
            return None
        return section.get("SHA256") or None
    return None


def main():
    args = sys.argv[1:]
    pkgcache = None
    if args[:1] == ["--pkgcache"] and len(args) == 2:
        pkgcache = args[1]
    elif args:
        sys.exit("usage: apt_facts.py [--pkgcache DIR] < PACKAGES")
    wanted = json.load(sys.stdin)
    try:
        apt_pkg.init_config()
        if pkgcache:
            apt_pkg.config.set("Dir::Cache::pkgcache", f"{pkgcache}/pkgcache.bin")
            apt_pkg.config.set("Dir::Cache::srcpkgcache", f"{pkgcache}/srcpkgcache.bin")
        apt_pkg.init_system()
        cache = apt_pkg.Cache(None)
        sources = apt_pkg.SourceList()
        sources.read_main_list()
        records = apt_pkg.PackageRecords(cache)
        answer = []
        for p in wanted:
            key = (p["name"], p["arch"])
            pkg = cache[key] if key in cache else None
            answer.append({"origin": origin(sources, pkg), "sha256": sha256(records, pkg, p["version"], p["arch"])})
    except SystemError as e:
        sys.exit(f"apt_facts.py: apt: {' '.join(str(e).split())}")
    json.dump(answer, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
