#!/usr/bin/env python3
"""Prints what a PE image's resources say about it, read straight from the file's bytes:
  pe_resources.py IMAGE version   -> "FileVersion 1.2.3.4" (the fixed numbers), then one
                                     "Name=Value" line per string of each string table
  pe_resources.py IMAGE manifest  -> the manifest's text
Exits 1 when the image has no such resource."""
import struct
import sys

RT_VERSION, RT_MANIFEST = 16, 24


def sections(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", image, directories + 2 * 8)[0]
    table = optional + optional_size
    found = []
    for i in range(count):
        size, rva, raw_size, raw = struct.unpack_from("<IIII", image, table + 40 * i + 8)
        found.append((rva, max(size, raw_size), raw))
    return resource_rva, found


def offset_of(rva, found):
    for start, size, raw in found:
        if start <= rva < start + size:
            return raw + rva - start
    raise ValueError("address outside every section")


def resources(image, kind):
    """The data of every resource of one type, in any name and language."""
    root_rva, found = sections(image)
    if root_rva == 0:
        return []
    root = offset_of(root_rva, found)

    def entries(directory):
        named, numbered = struct.unpack_from("<12xHH", image, directory)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", image, directory + 16 + 8 * i)
            yield ident, target

    def leaves(target):
        if target & 0x80000000:
            for _, below in entries(root + (target & 0x7FFFFFFF)):
                yield from leaves(below)
        else:
            rva, size = struct.unpack_from("<II", image, root + target)
            start = offset_of(rva, found)
            yield image[start:start + size]

    return [data for ident, target in entries(root) if ident == kind for data in leaves(target)]


def version_blocks(data, at=0, end=None):
    """VS_VERSIONINFO's nested blocks: (key, value bytes, is text, children)."""
    end = len(data) if end is None else end
    while at + 6 <= end:
        length, value_length, is_text = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if is_text else value_length
        value = data[value_at:value_at + value_size]
        children_at = (value_at + value_size + 3) & ~3
        yield key, value, is_text, list(version_blocks(data, children_at, at + length))
        at = (at + length + 3) & ~3


def print_version(data):
    (key, fixed, _, children), = version_blocks(data)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        sys.exit("not a version resource")
    ms, ls = struct.unpack_from("<II", fixed, 8)
    print(f"FileVersion {ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
    ms, ls = struct.unpack_from("<II", fixed, 16)
    print(f"ProductVersion {ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
    for key, _, _, tables in children:
        if key == "StringFileInfo":
            for _, _, _, strings in tables:
                for name, value, _, _ in strings:
                    print(f"{name}={value.decode('utf-16-le').rstrip(chr(0))}")


def main():
    image = open(sys.argv[1], "rb").read()
    kind = {"version": RT_VERSION, "manifest": RT_MANIFEST}[sys.argv[2]]
    found = resources(image, kind)
    if not found:
        sys.exit(f"no {sys.argv[2]} resource")
    if kind == RT_VERSION:
        print_version(found[0])
    else:
        sys.stdout.write(found[0].decode("utf-8"))


main()
