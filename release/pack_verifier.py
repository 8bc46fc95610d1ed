#!/usr/bin/python3 -I
"""Makes the verifier's one file: a zipapp of release/verify/ with release/contract.json
inside it, run by Debian's Python isolated (#!/usr/bin/python3 -I). The same sources give
the same bytes from any checkout: entries in a fixed order with fixed dates and modes, no
path of the build in them.

usage: pack_verifier.py SOURCE_DIR OUTPUT
"""
import io
import os
import sys
import zipfile

SHEBANG = b"#!/usr/bin/python3 -I\n"
DATE = (1980, 1, 1, 0, 0, 0)


def entries(source):
    """(name in the archive, path) of everything the one file holds, in a fixed order."""
    package = os.path.join(source, "release", "verify")
    found = [("__main__.py", os.path.join(package, "__main__.py"))]
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            found.append(("verify/" + name, os.path.join(package, name)))
    found.append(("verify/contract.json", os.path.join(source, "release", "contract.json")))
    return found


def pack(source):
    out = io.BytesIO()
    out.write(SHEBANG)
    with zipfile.ZipFile(out, "w") as archive:
        for name, path in entries(source):
            info = zipfile.ZipInfo(name, DATE)
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as handle:
                archive.writestr(info, handle.read(), compresslevel=9)
    return out.getvalue()


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: pack_verifier.py SOURCE_DIR OUTPUT")
    data = pack(argv[1])
    if os.path.isfile(argv[2]):
        with open(argv[2], "rb") as handle:
            if handle.read() == data:
                return
    partial = argv[2] + ".partial"
    with open(partial, "wb") as handle:
        handle.write(data)
    os.chmod(partial, 0o755)
    os.replace(partial, argv[2])


if __name__ == "__main__":
    main(sys.argv)
