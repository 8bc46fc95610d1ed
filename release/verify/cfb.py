"""The compound file an MSI is, read only as far as where it ends: its header, and its FAT
through the DIFAT, every count held to what the file can hold. The file must end exactly at
its last allocated sector: an MSI's Authenticode signature is a stream inside it, so bytes
after it are something else (a ZIP appended, say) that another reader could take for the
file, and that no check of the tables would see."""
import struct

from .report import Refused

MAGIC = bytes.fromhex("D0CF11E0A1B11AE1")
HEADER_DIFAT = 109           # FAT sector numbers the header itself holds
LAST_REGULAR = 0xFFFFFFFA    # above it: free, end of chain, FAT and DIFAT markers
END_OF_CHAIN = 0xFFFFFFFE
FREE = 0xFFFFFFFF


def _layout(data):
    """(sector size, sectors the file holds, the FAT as a tuple, sector(number)). Refused
    when its header or FAT does not parse within the file."""
    if len(data) < 512 or data[:8] != MAGIC:
        raise Refused("it is not a compound file (no compound file header)")
    major, order, shift, mini_shift = struct.unpack_from("<HHHH", data, 0x1A)
    if order != 0xFFFE or (major, shift) not in ((3, 9), (4, 12)) or mini_shift != 6:
        raise Refused(f"its compound file header is not a version 3 or 4 one (version {major}, sectors of 2^{shift})")
    size = 1 << shift
    sectors = (len(data) - size) // size if len(data) >= size else 0
    fat_count, _, _, _, _, _, difat_first, difat_count = struct.unpack_from("<8I", data, 0x2C)
    if fat_count > sectors or difat_count > sectors:
        raise Refused(f"its header counts {fat_count} FAT and {difat_count} DIFAT sectors; the file holds {sectors}")

    def sector(number):
        if number >= sectors:
            raise Refused(f"its FAT or DIFAT names sector {number}, past the file's {sectors}")
        return data[(number + 1) * size:(number + 2) * size]
    # The FAT's own sectors: 109 named in the header, the rest in a chain of DIFAT sectors,
    # each naming size/4 - 1 of them and then the next.
    fat_sectors = [number for number in struct.unpack_from(f"<{HEADER_DIFAT}I", data, 0x4C)]
    here, seen = difat_first, set()
    for _ in range(difat_count):
        if here > LAST_REGULAR or here in seen:
            raise Refused("its DIFAT chain ends early or loops")
        seen.add(here)
        entries = struct.unpack(f"<{size // 4}I", sector(here))
        fat_sectors += entries[:-1]
        here = entries[-1]
    if difat_count and here not in (END_OF_CHAIN, FREE):
        raise Refused("its DIFAT chain goes on past the sectors its header counts")
    fat_sectors = fat_sectors[:fat_count]
    if any(number > LAST_REGULAR for number in fat_sectors):
        raise Refused(f"its header counts {fat_count} FAT sectors but names fewer")
    fat = b"".join(sector(number) for number in fat_sectors)
    return size, sectors, struct.unpack(f"<{len(fat) // 4}I", fat), sector


def extent(data):
    """The bytes the compound file spans: its header and every sector up to the last its FAT
    allocates. Refused when its header or FAT does not parse within the file."""
    size, sectors, fat, _ = _layout(data)
    # The last entry that is not FREE (all ones): the FAT's trailing free entries stripped.
    last = len(fat) - 1
    while last >= 0 and fat[last] == FREE:
        last -= 1
    if last >= sectors:
        raise Refused(f"its FAT allocates sector {last}, past the file's {sectors}")
    return (last + 2) * size


# How an MSI stores a stream's name: two characters of this alphabet in one code point from
# U+3800, one in a code point from U+4800; a table's stream starts with U+4840.
ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
TABLE_MARK = "\u4840"


def msi_name(stored):
    """(whether it is a table's stream, the name) of a directory entry's stored name."""
    table = stored.startswith(TABLE_MARK)
    out = []
    for char in stored[1:] if table else stored:
        code = ord(char)
        if 0x3800 <= code < 0x4800:
            out += [ALPHABET[(code - 0x3800) & 0x3F], ALPHABET[((code - 0x3800) >> 6) & 0x3F]]
        elif 0x4800 <= code < 0x4840:
            out.append(ALPHABET[code - 0x4800])
        else:
            out.append(char)
    return table, "".join(out)


def stored_as_msi_stores(table, name, stored):
    """Whether STORED is how an MSI stores NAME: encoded, or, for a name that starts with
    U+0005 (the summary's, the signature's, which OLE and osslsigncode write), as it is."""
    return stored == msi_encode(table, name) or (not table and name.startswith("\u0005") and stored == name)


def msi_encode(table, name):
    """NAME as an MSI stores it (msi_name's inverse): pairs of the alphabet's characters in
    one code point, a lone one in another, anything else as it is."""
    out, at = [TABLE_MARK] if table else [], 0
    while at < len(name):
        first = ALPHABET.find(name[at])
        second = ALPHABET.find(name[at + 1]) if at + 1 < len(name) else -1
        if first >= 0 and second >= 0:
            out.append(chr(0x3800 + first + (second << 6)))
            at += 2
        elif first >= 0:
            out.append(chr(0x4800 + first))
            at += 1
        else:
            out.append(name[at])
            at += 1
    return "".join(out)


NO_ENTRY = 0xFFFFFFFF


def _order(stored):
    """A name's place among its siblings, as compound files order them: shorter first, then
    each character compared in upper case."""
    return len(stored.encode("utf-16-le")), stored.upper()


def entries(data):
    """(kind, name as stored) of every directory entry in use: kind "storage" or "stream" (the
    root storage itself left out). Refused when the directory does not parse, or when its
    tree, by which readers find an entry, does not reach every entry in use exactly once, in
    the order they search it: an entry a reader cannot find, or finds under another name, is
    one the tables' reader may list and Windows would not see."""
    size, sectors, fat, sector = _layout(data)
    here, seen, table = struct.unpack_from("<I", data, 0x30)[0], set(), []
    while here != END_OF_CHAIN:
        if here > LAST_REGULAR or here in seen or here >= len(fat):
            raise Refused("its directory's sector chain ends early or loops")
        seen.add(here)
        block = sector(here)
        for at in range(0, size, 128):
            length, kind = struct.unpack_from("<HB", block, at + 64)
            left, right, child = struct.unpack_from("<III", block, at + 68)
            if kind in (1, 2, 5):
                if length < 2 or length > 64 or length % 2:
                    raise Refused("a directory entry's name length is not one")
                stored = block[at:at + length - 2].decode("utf-16-le", "surrogatepass")
                table.append((kind, stored, left, right, child))
            elif kind == 0:
                table.append(None)
            else:
                raise Refused(f"a directory entry is of kind {kind}, which compound files do not have")
        here = fat[here]
    if not table or table[0] is None or table[0][0] != 5:
        raise Refused("its directory's first entry is not the root storage")
    reached, storages = set(), [table[0][4]]

    def siblings(number):
        """The names of the siblings from NUMBER, in the tree's order; the storages among them
        left for later. Walked without recursion: msibuild links a storage's entries in one
        line, as deep as there are entries."""
        names, above = [], []
        while above or number != NO_ENTRY:
            if number == NO_ENTRY:
                number = above.pop()
                names.append(table[number][1])
                number = table[number][3]
                continue
            if number >= len(table) or table[number] is None or number in reached or number == 0:
                raise Refused("its directory tree names an entry that is not one, or one twice")
            reached.add(number)
            kind, stored, left, _, child = table[number]
            if kind == 2 and child != NO_ENTRY:
                raise Refused(f"its directory tree gives the stream {stored!r} entries below it")
            if kind == 1:
                storages.append(child)
            above.append(number)
            number = left
        return names
    while storages:
        names = siblings(storages.pop())
        if any(_order(a) >= _order(b) for a, b in zip(names, names[1:])):
            raise Refused("its directory tree is not in the order readers search it: an entry a reader "
                          "would not find")
    found = []
    for number, entry in enumerate(table):
        if entry is None or number == 0:
            continue
        if number not in reached:
            raise Refused(f"its directory holds {entry[1]!r}, which its tree does not reach")
        found.append(("storage" if entry[0] == 1 else "stream", entry[1]))
    return found


def past_the_end(data):
    """Why DATA is not exactly its compound file, or ""."""
    try:
        end = extent(data)
    except Refused as refusal:
        return str(refusal)
    if len(data) > end:
        return (f"{len(data) - end} bytes lie past its compound file's last allocated sector (at byte {end}): "
                "something appended, which the build never writes")
    return ""
