#!/usr/bin/env python3
"""Rewrites a ZIP in place so that only its files decide its bytes: entries in name order,
each dated SOURCE_DATE_EPOCH in UTC, with its Unix mode and no extra fields. CPack adds the
entries in the order the staging folder lists them (the file system's, different each
build), writes DOS dates in the builder's time zone and records the builder's uid and gid.
usage: normalize-zip.py FILE.zip   (SOURCE_DATE_EPOCH in the environment)"""
import os
import sys
import time
import zipfile

path = sys.argv[1]
date = time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"]))[:6]
with zipfile.ZipFile(path) as old:
    entries = [(info, old.read(info)) for info in old.infolist()]
with zipfile.ZipFile(path + ".new", "w") as new:
    for info, data in sorted(entries, key=lambda entry: entry[0].filename.encode()):
        entry = zipfile.ZipInfo(info.filename, date_time=date)
        entry.create_system = 3  # Unix, so that the mode below is read
        entry.external_attr = info.external_attr
        new.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
os.replace(path + ".new", path)
