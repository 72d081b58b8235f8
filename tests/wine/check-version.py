#!/usr/bin/python3
# Reads the version resource back from built Windows files and checks it against the project's
# version: the fixed part (file and product version numbers, DLL or application) and the
# strings (ProductName, FileVersion, ProductVersion, FileDescription, LegalCopyright and, for
# our own files, OriginalFilename).
#
#   tests/wine/check-version.py VERSION FILE...         modemflash.dll, modemflash.exe
#   tests/wine/check-version.py --installer VERSION FILE...   the setup programs
#
# Debian's python3-pefile; run by /usr/bin/python3, whose modules those are.
import os
import sys

import pefile

VFT_APP, VFT_DLL = 1, 2


def strings(pe):
    found = {}
    for info in getattr(pe, "FileInfo", []) or []:
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                for key, value in table.entries.items():
                    found[key.decode("utf-8", "replace")] = value.decode("utf-8", "replace")
    return found


def check(path, version, installer):
    problems = []
    pe = pefile.PE(path, fast_load=False)
    if not hasattr(pe, "VS_FIXEDFILEINFO") or not pe.VS_FIXEDFILEINFO:
        return ["no version resource"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    numbers = [int(n) for n in version.split(".")] + [0]
    ms, ls = (numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]
    if (fixed.FileVersionMS, fixed.FileVersionLS) != (ms, ls):
        problems.append("file version %d.%d.%d.%d, expected %s.0" % (
            fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
            fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF, version))
    if (fixed.ProductVersionMS, fixed.ProductVersionLS) != (ms, ls):
        problems.append("product version differs from %s.0" % version)
    name = os.path.basename(path)
    if not installer:
        want_type = VFT_DLL if name.lower().endswith(".dll") else VFT_APP
        if fixed.FileType != want_type:
            problems.append("file type %d, expected %d" % (fixed.FileType, want_type))
    s = strings(pe)
    expected = {"ProductName": "modemflash", "FileVersion": version, "ProductVersion": version}
    if not installer:
        expected["OriginalFilename"] = name
    for key, want in expected.items():
        if s.get(key) != want:
            problems.append("%s is %r, expected %r" % (key, s.get(key), want))
    if not s.get("FileDescription", "").strip():
        problems.append("no FileDescription")
    if "modemflash developers" not in s.get("LegalCopyright", ""):
        problems.append("LegalCopyright is %r" % s.get("LegalCopyright"))
    return problems


def main(argv):
    installer = len(argv) > 1 and argv[1] == "--installer"
    args = argv[2:] if installer else argv[1:]
    if len(args) < 2:
        print("usage: check-version.py [--installer] VERSION FILE...", file=sys.stderr)
        return 2
    version, files = args[0], args[1:]
    failed = 0
    for path in files:
        problems = check(path, version, installer)
        if problems:
            failed += 1
            print("check-version: %s: %s" % (path, "; ".join(problems)), file=sys.stderr)
        else:
            print("check-version: %s carries version %s" % (path, version))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
