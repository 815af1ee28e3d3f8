#!/usr/bin/env python3
"""Appends a tool package to a copy of a host image, its entries in the order of a list.

    write_package.py HOST SOURCE_DIR LIST OUTPUT

LIST holds one path relative to SOURCE_DIR a line ("/" as separator; lines ending in "/" name
folders and are skipped). kpack writes a folder's files together; this writer takes any order,
as any writer of the format may, so that a benchmark can interleave entries across folders.
The host must not be a signed executable: the trailer goes at its very end.
"""
import hashlib
import shutil
import struct
import sys


def entry_header(name, data_size):
    encoded = name.replace("/", "\\").encode("utf-16-le")
    return struct.pack("<I", len(encoded)) + encoded + struct.pack("<Q", data_size)


def main():
    host, source, listing, output = sys.argv[1:5]
    shutil.copyfile(host, output)
    digest = hashlib.sha256()
    with open(listing, encoding="utf-8") as names, open(output, "ab") as package:
        offset = package.tell()
        for line in names:
            name = line.rstrip("\n")
            if not name or name.endswith("/"):
                continue
            with open(f"{source}/{name}", "rb") as file:
                data = file.read()
            entry = entry_header(name, len(data)) + data
            digest.update(entry)
            package.write(entry)
        size = package.tell() - offset
        package_id = digest.hexdigest()[:32].encode("ascii")
        package.write(b"KPAIPAK1" + struct.pack("<QQ", offset, size) + package_id + bytes(8))


if __name__ == "__main__":
    main()
