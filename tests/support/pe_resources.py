#!/usr/bin/env python3
# Prints what a PE image's resources say about it, read with pefile:
#   pe_resources.py IMAGE version   -> "FileVersion 1.2.3.4" (the fixed numbers), then one
#                                      "Name=Value" line per string of each string table
#   pe_resources.py IMAGE manifest  -> the manifest's text
# Exits 1 when the image has no such resource.
import importlib.util, os, sys

# pefile comes as a Debian package: for the system's Python, which another python3 may shadow.
if importlib.util.find_spec("pefile") is None and sys.executable != "/usr/bin/python3":
    os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
import pefile  # noqa: E402

pe = pefile.PE(sys.argv[1], fast_load=True)
pe.parse_data_directories([pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
if sys.argv[2] == "version":
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        sys.exit("no version resource")
    fixed = pe.VS_FIXEDFILEINFO[0]
    for name, ms, ls in (("FileVersion", fixed.FileVersionMS, fixed.FileVersionLS),
                         ("ProductVersion", fixed.ProductVersionMS, fixed.ProductVersionLS)):
        print(f"{name} {ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
    for info in (block for blocks in pe.FileInfo for block in blocks if block.Key == b"StringFileInfo"):
        for table in info.StringTable:
            for name, value in table.entries.items():
                print(f"{name.decode()}={value.decode()}")
else:
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    manifests = [language.data.struct for kind in (resources.entries if resources else [])
                 if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]
                 for name in kind.directory.entries for language in name.directory.entries]
    if not manifests:
        sys.exit("no manifest resource")
    sys.stdout.write(pe.get_data(manifests[0].OffsetToData, manifests[0].Size).decode("utf-8"))
