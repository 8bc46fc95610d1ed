"""DIR as the verifier reads it, and what DIR may hold: every regular file read once into
memory, links never followed, each bounded; the checksums; names Windows keeps apart; no
file that is not part of a release."""
import hashlib
import os
import re
import stat

from . import contract
from .report import Refused, q, show


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Folder:
    """Every regular file under DIR, read through file descriptors opened with O_NOFOLLOW
    below DIR's own; anything else under DIR is a refusal."""

    def __init__(self, path, limits):
        self.files = {}       # relative path -> bytes
        self.ids = {}         # relative path -> (device, inode), as it was read
        self.refused = []     # (relative path, why)
        self.total = self.entries = 0
        self.limits = limits
        top = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            self._walk(top, "", 0)
        finally:
            os.close(top)

    def _walk(self, fd, prefix, depth):
        for name in sorted(os.listdir(fd)):
            relative = prefix + name
            self.entries += 1
            if self.entries > self.limits.entries:
                raise Refused(f"more than {self.limits.entries} files and folders")
            info = os.lstat(name, dir_fd=fd)
            if stat.S_ISDIR(info.st_mode):
                if depth >= self.limits.depth:
                    self.refused.append((relative, f"nested deeper than {self.limits.depth} folders"))
                    continue
                child = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
                held = len(self.files) + len(self.refused)
                try:
                    self._walk(child, relative + "/", depth + 1)
                finally:
                    os.close(child)
                # An empty folder is in no check of the files, yet its name is one Windows holds.
                if len(self.files) + len(self.refused) == held:
                    self.refused.append((relative, "an empty folder, which a release never holds"))
            elif stat.S_ISREG(info.st_mode):
                self._read(fd, name, relative, info)
            else:
                kind = ("a symbolic link" if stat.S_ISLNK(info.st_mode) else "a FIFO" if stat.S_ISFIFO(info.st_mode)
                        else "a socket" if stat.S_ISSOCK(info.st_mode) else "a device")
                self.refused.append((relative, f"is {kind}, not a regular file: not opened"))

    def _read(self, fd, name, relative, info):
        limit = self.limits.file
        if info.st_size > limit:
            self.refused.append((relative, f"{info.st_size} bytes, over the {limit >> 20} MiB limit: not read"))
            return
        if self.total + info.st_size > self.limits.total:
            self.refused.append((relative, f"the folder holds more than {self.limits.total >> 20} MiB: not read"))
            return
        handle = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY, dir_fd=fd)
        try:
            opened = os.fstat(handle)
            if not stat.S_ISREG(opened.st_mode) or (opened.st_dev, opened.st_ino) != (info.st_dev, info.st_ino):
                self.refused.append((relative, "changed while it was read: not used"))
                return
            chunks, size = [], 0
            while size <= limit:
                chunk = os.read(handle, 1 << 20)
                if not chunk:
                    break
                chunks.append(chunk)
                size += len(chunk)
            if size > limit:
                self.refused.append((relative, f"grew past the {limit >> 20} MiB limit: not read"))
                return
        finally:
            os.close(handle)
        self.total += size
        self.files[relative] = b"".join(chunks)
        self.ids[relative] = (opened.st_dev, opened.st_ino)


def manifest_folders():
    """The folders beside the flat files that hold the package managers' manifests."""
    found = contract.load()["manifests"]
    return (found["winget"], found["scoop"])


def in_manifests(name):
    return name.split("/", 1)[0] in manifest_folders() and "/" in name


def plain_name(name):
    """A checksum line's name: relative, no '..' or '.', no empty part, nothing unprintable."""
    if not name or name.startswith("/") or "\\" in name or re.search(r"[\x00-\x1f\x7f]", name):
        return False
    return all(part not in ("", ".", "..") for part in name.split("/"))


def checksum_lines(text, source, limit):
    """(digest, name) of each sha256sum line; Refused on anything else."""
    if len(text) > limit:
        raise Refused(f"{source} is over {limit >> 10} KiB")
    try:
        text = text.decode("utf-8")
    except UnicodeDecodeError:
        raise Refused(f"{source} is not UTF-8 text")
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    found = []
    for number, line in enumerate(lines, 1):
        match = re.fullmatch(r"([0-9a-f]{64}) [ *](.+)", line)
        if not match:
            raise Refused(f"{source} line {number} is not '<sha256>  <name>': {q(line[:120])}")
        found.append((match.group(1), match.group(2)))
    return found


def base_of(name):
    """The package base (dorvane-<version>-<arch>) a flat file's name starts with, or None."""
    match = re.match(contract.package_pattern() + r"\.", name)
    return contract.package(match.group(1), match.group(2)) if match else None


def integrity(folder, report, policy, limits, bases=()):
    """Every file matches every checksum that names it, and has one (the manifests aside:
    they name the packages by hash, and are checked by that). Files SHA256SUMS names of an
    architecture the folder holds none of (BASES: the packages it holds) are a download of
    fewer architectures than the release has: listed once as not checked, never passed; a
    file it names of an architecture that is here must be here. Returns the names
    SHA256SUMS lists when its digest was given (--sums) and each of those here matches it,
    else none."""
    sums_name, suffix = contract.load()["sums"], contract.load()["checksum"]
    covered = set()
    for relative, why in folder.refused:
        report.check(show(relative), why)
    sums = folder.files.get(sums_name)
    named, matched, unreadable, absent = set(), set(), "", []
    if sums is not None:
        problems = []
        try:
            entries = checksum_lines(sums, sums_name, limits.record["sums"])
        except Refused as refusal:
            entries, unreadable = [], str(refusal)
            problems.append(unreadable)
        for digest, name in entries:
            if name in named:
                problems.append(f"names {show(name)} twice")
                continue
            named.add(name)
            if not plain_name(name):
                problems.append(f"names {q(name)}: not a plain relative name inside the folder")
            elif name not in folder.files:
                base = base_of(name)
                if base is not None and base not in bases and "/" not in name:
                    absent.append(name)
                else:
                    problems.append(f"names {show(name)}, not a regular file in the folder"
                                    + (f" (a file of {base}, which is here)" if base in bases else ""))
            elif sha256(folder.files[name]) != digest:
                problems.append(f"{show(name)} does not match it")
            else:
                matched.add(name)
        covered |= matched
        here = f"every file it lists that is here ({len(named) - len(absent)} of {len(named)})" if absent \
            else f"every file it lists ({len(named)})"
        report.check(f"{sums_name} matches {here}", "; ".join(problems[:4]))
        if absent:
            others = sorted({base_of(name) for name in absent})
            report.note(f"not checked: the {len(absent)} files {sums_name} names of {', '.join(others)}, which are "
                        "not in the folder (a download of fewer architectures): " + ", ".join(show(name) for name in
                                                                                               sorted(absent)[:40]))
            report.facts["absent"] = others
    beside = set()
    for relative in sorted(folder.files):
        if not relative.endswith(suffix):
            continue
        target = relative[:-len(suffix)]
        beside.add(target)
        why = ""
        try:
            entries = checksum_lines(folder.files[relative], show(relative), limits.record["checksum"])
            if len(entries) != 1:
                raise Refused(f"holds {len(entries)} lines, not one")
            digest, name = entries[0]
            if name != os.path.basename(target):
                why = f"it is the checksum of {show(name)}, not of {show(os.path.basename(target))}"
            elif target not in folder.files:
                why = f"its file {show(target)} is missing"
            elif sha256(folder.files[target]) != digest:
                why = f"{show(target)} does not match {show(relative)}"
            else:
                covered.add(target)
        except Refused as refusal:
            why = str(refusal)
        report.check(f"{show(relative)} matches", why)
    for relative in sorted(folder.files):
        # Named by a checksum and failed its line above, or a checksum itself, judged above.
        if relative == sums_name or relative in covered or in_manifests(relative) or relative in named \
                or relative in beside or relative.endswith(suffix):
            continue
        report.check(f"{show(relative)} has a checksum", f"no {suffix} beside it and not in {sums_name}")
    if not policy.sums_anchored:
        return set()
    why = ""
    if sums is None:
        why = f"there is no {sums_name}"
    elif sha256(sums) != policy.sums:
        why = f"its SHA-256 is {sha256(sums)}, not the one given"
    elif unreadable:
        why = f"it cannot be read: {unreadable}"
    else:
        flat = sorted(name for name in folder.files if name != sums_name and not in_manifests(name))
        unlisted = [name for name in flat if name not in named]
        if unlisted:
            why = (f"it does not list {len(unlisted)} of the folder's files: "
                   + ", ".join(show(name) for name in unlisted[:5]))
    if report.check(f"{sums_name} is the one whose SHA-256 was given (--sums) and lists every file "
                    "(the manifests' folders aside)", why):
        return matched
    return set()


def anchors_inside(folder, given, report):
    """The files of the folder that are the anchors the user gave (GIVEN: {option: path}),
    known by what they are on disk, not by name: taken out of the checks (they are the
    user's, not the release's), and said so."""
    wanted = {}
    for option, path in given.items():
        try:
            info = os.stat(path)
        except OSError:
            continue
        wanted.setdefault((info.st_dev, info.st_ino), option)
    for relative, identity in sorted(folder.ids.items()):
        if identity in wanted:
            del folder.files[relative], folder.ids[relative]
            report.note(f"{show(relative)} is the file given to {wanted[identity]}, an anchor of yours: not checked "
                        "as a file of the release (keep anchors outside the download folder)")


# Device names Windows opens whatever follows them: NUL, NUL.txt, "nul .txt".
RESERVED = re.compile(r"(CON|PRN|AUX|NUL|COM[0-9\u00b9\u00b2\u00b3]|LPT[0-9\u00b9\u00b2\u00b3]|CONIN\$|CONOUT\$) *", re.I)


def folded(relative):
    """RELATIVE as Windows compares names: each letter upper-cased on its own, as its case
    table does (final and medial sigma are one letter to it), and lower-cased as well."""
    def letter(char):
        upper = char.upper()
        return (upper if len(upper) == 1 else char).lower()
    return "/".join("".join(map(letter, part.rstrip(". "))) for part in relative.split("/"))


def windows_names(folder, report):
    """Every name is one Windows keeps as it is and apart from the others: not two that
    differ only in case or in trailing dots and spaces (Windows drops those), no device name."""
    names = sorted(list(folder.files) + [name for name, _ in folder.refused])
    seen = {}
    for relative in names:
        seen.setdefault(folded(relative), []).append(relative)
    bad = 0
    for relative in names:
        why = ""
        for part in relative.split("/"):
            if part.rstrip(". ") != part:
                why = f"Windows drops the trailing dots and spaces of {q(part)}"
            elif RESERVED.fullmatch(part.split(".")[0]):
                why = f"{q(part)} is a device name on Windows"
            elif re.search(r'[<>:"|?*\\\x00-\x1f]', part):
                why = f"{q(part)} is not a name Windows can hold"
        others = [other for other in seen[folded(relative)] if other != relative]
        if not why and others:
            why = "Windows takes it as " + ", ".join(show(other) for other in others)
        if why:
            bad += 1
            report.check(f"{show(relative)}: a name Windows keeps", why)
    if not bad:
        report.check(f"every name is one Windows keeps apart from the others ({len(names)})")


def accounted(folder, bases, anchored, policy, report):
    """Nothing in DIR beside what a release is: its packages, their records and checksums,
    SHA256SUMS (and, under an anchor, what an anchored SHA256SUMS lists). The manifests'
    folders are judged by the manifests' own check. Under --sums alone SHA256SUMS, whose
    digest was given, must list every file, which integrity() has checked."""
    if policy.anchor == "sums":
        return
    spec = contract.load()
    own = {spec["sums"]} | anchored | {base + suffix + checksum for base in bases for suffix in spec["files"].values()
                                       for checksum in ("", spec["checksum"])}
    what = policy.release_phrase()
    strays = [name for name in sorted(folder.files) if name not in own and not in_manifests(name)]
    for name in strays:
        report.check(show(name), f"not part of {what} (its packages, their records and their checksums)")
    if not strays:
        report.check(f"every file is part of {what} ({len(folder.files)})")
