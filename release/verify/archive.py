"""A release's ZIP, read by its own structure rather than a general reader's: its end record
first (how many entries, before any is parsed), then each central directory entry against
its local header, then each entry's data, which is exactly one deflate stream ending exactly
at its compressed size (a folder entry: nothing). What two readers could see differently is
refused: a reader that streams local headers and one that trusts the central directory
see the same four files or the ZIP fails. That is why every file must be deflated, as the
build writes them: a stored entry whose sizes follow its data has no end of its own, and a
streaming reader ends it at the first thing that looks like a data descriptor."""
import datetime
import hashlib
import stat
import struct
import zlib

from . import contract
from .report import Refused, show
END = b"PK\x05\x06"
CENTRAL = b"PK\x01\x02"
LOCAL = b"PK\x03\x04"
DESCRIPTOR = b"PK\x07\x08"
# Every record a ZIP reader looks for: the ZIP64 ones and a split archive's marker too.
SIGNATURES = (LOCAL, CENTRAL, END, DESCRIPTOR, b"PK\x06\x06", b"PK\x06\x07", b"PK\x05\x05", b"PK\x30\x30")


class Digest(str):
    """A member kept as its SHA-256 only: what is compared, not what is read."""


def fingerprint(value):
    return None if value is None else value if isinstance(value, Digest) else hashlib.sha256(value).hexdigest()


class Entry:
    __slots__ = ("name", "flags", "method", "need", "crc", "packed", "unpacked", "local", "extra", "mode", "made",
                 "time", "date", "disk", "internal", "external")


def dos_time(epoch):
    """(time, date) as a ZIP's headers hold EPOCH (UTC, to the even second)."""
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    return ((when.hour << 11) | (when.minute << 5) | (when.second // 2),
            ((when.year - 1980) << 9) | (when.month << 5) | when.day)


def expected_extra(epoch):
    """The extra fields the build writes for an entry of SOURCE_DATE_EPOCH EPOCH."""
    return bytes.fromhex(contract.fill(contract.load()["zip"]["extra"], {"time": struct.pack("<I", epoch).hex()}))


def epoch_of(extra):
    """The time of an entry's extended timestamp (UT) field, when it starts its extra fields."""
    if len(extra) >= 9 and struct.unpack_from("<HHB", extra) == (0x5455, 13, 7):
        return struct.unpack_from("<I", extra, 5)[0]
    return None


class Bound(Exception):
    """An entry that inflates past what the run allows: (entry name, why)."""


def directory(data, limits):
    """The central directory's entries, after the end record has said how many there are
    (a release's ZIP has a handful; a ZIP that counts more is not parsed). Refused when
    the ZIP does not end with its end record or its directory does not parse."""
    if len(data) < 22 or data[-22:-18] != END:
        raise Refused("it does not end with the end of its central directory (a comment, or bytes after it)")
    disk, start_disk, here, count, size, offset, comment = struct.unpack_from("<HHHHIIH", data, len(data) - 18)
    if count > limits.zip_entries or here > limits.zip_entries:
        raise Refused(f"its end record counts {max(count, here)} entries; a release's ZIP has a handful "
                      f"(at most {limits.zip_entries} are read): not parsed")
    if disk or start_disk or here != count or comment:
        raise Refused("its end record is not a one-part ZIP without a comment")
    if offset + size != len(data) - 22:
        raise Refused("something lies between its central directory and its end")
    entries, at = [], offset
    for number in range(count):
        if data[at:at + 4] != CENTRAL or at + 46 > offset + size:
            raise Refused(f"central directory entry {number + 1} is not one")
        entry = Entry()
        (made, entry.need, entry.flags, entry.method, entry.time, entry.date, entry.crc, entry.packed, entry.unpacked,
         name_size, extra_size, comment_size, entry.disk, entry.internal, attributes,
         entry.local) = struct.unpack_from("<HHHHHHIIIHHHHHII", data, at + 4)
        raw = data[at + 46:at + 46 + name_size]
        entry.extra = data[at + 46 + name_size:at + 46 + name_size + extra_size]
        at += 46 + name_size + extra_size + comment_size
        if at > offset + size:
            raise Refused(f"central directory entry {number + 1} runs past the directory")
        try:
            entry.name = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise Refused(f"central directory entry {number + 1}'s name is not UTF-8")
        entry.made, entry.mode, entry.external = made, attributes >> 16, attributes
        if comment_size:
            raise Refused(f"{show(entry.name)} carries a comment: the build writes none")
        entries.append(entry)
    if at != offset + size:
        raise Refused("its central directory holds more than its end record counts")
    return entries, offset


def stored_refused(entry, data, start, end):
    """Why a stored (method 0) entry is not one the build writes: the build deflates every
    file. A stored file's data holding a ZIP record is named, since that is where a
    streaming reader would find another entry."""
    shown = show(entry.name)
    why = f"{shown} is stored, not deflated as the build writes its files"
    found = sorted((data.find(signature, start, end), signature) for signature in SIGNATURES
                   if data.find(signature, start, end) >= 0)
    if found:
        at, signature = found[0]
        why += (f", and its data holds a ZIP record ({signature!r} at byte {at - start}), where a reader "
                "that streams the entries would see another one")
    return why


def fields_refused(entry, local, epoch):
    """Why ENTRY's central directory fields, or LOCAL (its local header's: version needed,
    flags, method, time, date, CRC and sizes, extra fields), are not what the build writes
    for an entry of SOURCE_DATE_EPOCH EPOCH, or ""."""
    spec = contract.load()["zip"]
    member = entry.name.split("/", 1)[-1]
    mode = int(spec["modes"].get(member, spec["modes"]["*"]), 8)
    time, date = dos_time(epoch)
    want = {"version made by": (entry.made, spec["version_made_by"]),
            "version needed": (entry.need, spec["version_needed"]), "flags": (entry.flags, spec["flags"]),
            "method": (entry.method, spec["method"]), "time": (entry.time, time), "date": (entry.date, date),
            "first disk": (entry.disk, 0), "internal attributes": (entry.internal, spec["internal_attributes"]),
            "external attributes": (entry.external, mode << 16)}
    for field, (have, wanted) in want.items():
        if have != wanted:
            return f"{show(entry.name)}: its central directory entry's {field} is 0x{have:x}, the build writes 0x{wanted:x}"
    need, flags, method, local_time, local_date, crc, packed, unpacked, extra = local
    for blob in (entry.extra, extra):
        ids = extra_ids(blob)
        if ids is None or set(ids) - {0x5455, 0x7875}:
            return (f"{show(entry.name)} carries extra fields "
                    f"{', '.join(f'0x{kind:04x}' for kind in ids or [])}{'' if ids else blob.hex()}: "
                    "the build writes only UT (0x5455) and ux (0x7875)")
    if entry.extra != expected_extra(epoch):
        return (f"{show(entry.name)}: its central directory entry's extra fields ({entry.extra.hex()}) are not the "
                "build's (UT and ux, as the build normalizes them)")
    for field, have, wanted in (("version needed", need, entry.need), ("flags", flags, entry.flags), ("method", method,
                                entry.method), ("time", local_time, entry.time), ("date", local_date, entry.date)):
        if have != wanted:
            return f"{show(entry.name)}: its local header's {field} is 0x{have:x}, its central directory entry's 0x{wanted:x}"
    if (crc, packed, unpacked) != (0, 0, 0):
        return (f"{show(entry.name)}: its sizes or CRC differ between its local header and the central directory"
                if (crc, packed, unpacked) != (entry.crc, entry.packed, entry.unpacked) else
                f"{show(entry.name)}: its local header holds its sizes, which the build writes after its data alone")
    if extra != entry.extra:
        return f"{show(entry.name)}: its local header's extra fields differ from its central directory entry's"
    return ""


def extra_ids(blob):
    """The extra fields' ids, in order; None when they do not parse."""
    ids, at = [], 0
    while at < len(blob):
        if at + 4 > len(blob):
            return None
        kind, size = struct.unpack_from("<HH", blob, at)
        ids.append(kind)
        at += 4 + size
        if at > len(blob):
            return None
    return ids


def layout(data, entries, offset):
    """Why the entries are not laid out as the build lays out a ZIP, or "": back to back from
    offset 0, in byte order of their names, every field of each local header and central
    directory entry what the build writes (release/contract.json's "zip"), each data
    descriptor with its signature. Returns (why, [(entry, data start, data end)])."""
    at, spans = 0, []
    if [entry.name.encode("utf-8") for entry in entries] != sorted(entry.name.encode("utf-8") for entry in entries):
        return "its entries are not in the byte order of their names, as the build writes them", []
    if not entries:
        return "it holds no entries", []
    epoch = epoch_of(entries[0].extra)
    if epoch is None:
        return f"{show(entries[0].name)} has no extended timestamp (UT) first among its extra fields", []
    for entry in entries:
        shown = show(entry.name)
        if entry.name.endswith("/"):
            return f"{shown} is a folder entry: the build writes none", []
        if not stat.S_ISREG(entry.mode):
            return f"{shown} is not a regular file (mode {entry.mode:o})", []
        if entry.local != at:
            return f"{shown} does not follow the entry before it ({entry.local - at:+d} bytes)", []
        if data[at:at + 4] != LOCAL or at + 30 > offset:
            return f"{shown}: no local header where the central directory says", []
        (need, flags, method, local_time, local_date, crc, packed, unpacked, name_size,
         extra_size) = struct.unpack_from("<HHHHHIIIHH", data, at + 4)
        name = data[at + 30:at + 30 + name_size]
        extra = data[at + 30 + name_size:at + 30 + name_size + extra_size]
        if name != entry.name.encode("utf-8"):
            return f"{shown}: its local header names {show(name.decode('utf-8', 'replace'))}", []
        start = at + 30 + name_size + extra_size
        end = start + entry.packed
        if end > offset:
            return f"{shown}: its data runs into the central directory", []
        if entry.method == 0:
            return stored_refused(entry, data, start, end), []
        why = fields_refused(entry, (need, flags, method, local_time, local_date, crc, packed, unpacked, extra), epoch)
        if why:
            return why, []
        at = end
        # A data descriptor follows the data, with its signature as the build writes it.
        if data[at:at + 4] != DESCRIPTOR:
            return f"{shown}: its data descriptor lacks its signature, which the build writes", []
        if at + 16 > offset:
            return f"{shown}: its data descriptor is cut short", []
        if struct.unpack_from("<III", data, at + 4) != (entry.crc, entry.packed, entry.unpacked):
            return f"{shown}: its sizes or CRC differ between its data descriptor and the central directory", []
        at += 16
        spans.append((entry, start, end))
    if at != offset:
        return f"{offset - at} bytes lie between its last entry and its central directory", []
    return "", spans


def inflate(data, entry, start, end, keep, limits, spend):
    """The entry's bytes (or their Digest when not KEEP): stored bytes as they are, or one
    deflate stream that ends exactly at the entry's compressed size with nothing after it.
    Raises Refused for a stream that is not exactly that, Bound past a limit."""
    shown = show(entry.name)
    if entry.unpacked > limits.member:
        raise Bound(entry.name, f"declares {entry.unpacked} bytes, past {limits.member >> 20} MiB: not unpacked")
    digest, out, size, crc = hashlib.sha256(), [], 0, 0

    def take(chunk):
        nonlocal size, crc
        size += len(chunk)
        if size > min(entry.unpacked, limits.member):
            raise Bound(entry.name, f"inflates past its declared {entry.unpacked} bytes: not unpacked further")
        try:
            spend(len(chunk))
        except Refused as refusal:
            raise Bound(entry.name, str(refusal))
        crc = zlib.crc32(chunk, crc)
        digest.update(chunk)
        if keep:
            out.append(chunk)
    if entry.method == 0:
        if entry.packed != entry.unpacked:
            raise Refused(f"{shown} is stored, but its sizes differ ({entry.packed} and {entry.unpacked})")
        take(data[start:end])
    else:
        stream = zlib.decompressobj(-15)
        at = start
        try:
            while at < end and not stream.eof:
                piece = data[at:min(end, at + (64 << 10))]
                at += len(piece)
                take(stream.decompress(piece, 1 << 20))
                while stream.unconsumed_tail and not stream.eof:
                    take(stream.decompress(stream.unconsumed_tail, 1 << 20))
            if not stream.eof:
                take(stream.flush())
        except zlib.error as error:
            raise Refused(f"{shown}'s data is not a deflate stream ({error})")
        if not stream.eof:
            raise Refused(f"{shown}'s deflate stream does not end within its compressed size")
        after = len(stream.unused_data) + (end - at)
        if after:
            raise Refused(f"{shown}'s deflate stream ends {after} bytes before its compressed size: "
                          "something lies hidden after it")
    if size != entry.unpacked or crc != entry.crc:
        raise Refused(f"{shown} inflates to {size} bytes with CRC {crc:08x}, not the {entry.unpacked} bytes "
                      f"and {entry.crc:08x} its headers give")
    return b"".join(out) if keep else Digest(digest.hexdigest())


def read(data, base, members, keep, limits, spend):
    """The ZIP's members by their names inside {base}/ (the bytes of those named in KEEP, the
    others as digests), and the checks it passed: a list of (name, why) and the members, None
    on the first that fails; Bound from spend() or a member past its limit."""
    label = base + contract.suffix("zip")
    checks = []
    try:
        entries, offset = directory(data, limits)
    except (Refused, struct.error) as error:
        return [(f"{label} is a ZIP of a release's shape", str(error) or "it is cut short")], None
    want = {f"{base}/{name}" for name in members}
    names = [entry.name for entry in entries]
    extra = [name for name in names if name not in want and name != base + "/"]
    missing = sorted(want - set(names))
    twice = sorted({name for name in names if names.count(name) > 1})
    why = "; ".join(filter(None, [
        extra and "it also holds " + ", ".join(show(name) for name in extra),
        missing and "it lacks " + ", ".join(show(name) for name in missing),
        twice and "it holds " + ", ".join(show(name) for name in twice) + " twice"]))
    checks.append((f"{label} holds exactly {base}/ with {', '.join(members)}", why))
    if why:
        return checks, None
    try:
        why, spans = layout(data, entries, offset)
        found, total = {}, 0
        for entry, start, end in spans if not why else []:
            name = entry.name.split("/", 1)[1]
            found[name] = inflate(data, entry, start, end, name in keep, limits, spend)
            total += entry.unpacked
    except (Refused, struct.error) as error:
        why = str(error) or "it is cut short"
    except Bound as bound:
        checks.append((f"{label}: {show(bound.args[0])}", bound.args[1]))
        return checks, None
    checks.append((f"{label} is laid out as the build lays out a ZIP, each entry exactly one deflate stream", why))
    if why:
        return checks, None
    checks.append((f"{label} unpacks within bounds ({total} bytes)", ""))
    return checks, found
