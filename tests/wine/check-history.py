#!/usr/bin/env python3
# Checks what `modemflash.exe history --json` printed against the updates a Wine test ran:
# COUNT finished, successful records, each naming every file of the firmware folder with its
# size and SHA-256 and marked programmed, newest first.
#
#   check-history.py HISTORY_JSON FIRMWARE_DIR COUNT [LOCATION:SERIAL ...]
#
# With LOCATION:SERIAL pairs the records are those modems' (in any order), with the COM port
# names each had; without them the records carry no location (a single `flash`, whose port
# names the Windows DLL, exporting Create alone, does not hand out).
import hashlib
import json
import os
import sys


def main(argv):
    path, firmware, count = argv[1], argv[2], int(argv[3])
    modems = sorted(tuple(m.split(":", 1)) for m in argv[4:])
    text = open(path, encoding="utf-8").read().strip()
    if text.startswith("["):
        records = json.loads(text)
    else:
        records = [json.loads(line) for line in text.splitlines() if line.strip()]
    assert len(records) == count, "%d records, expected %d" % (len(records), count)
    order = ["loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
             "mass_storage.wrapped", "nocd.iso.wrapped", "productConfig.bin"]
    ids = [r["id"] for r in records]
    assert ids == sorted(ids, reverse=True), "records not newest first: %s" % ids
    for r in records:
        assert r["finished"] and r["result"] == 1, "record %s: result %s (%s)" % (
            r["id"], r["result"], r.get("result_words"))
        names = [f["name"] for f in r["files"]]
        assert names == order, "record %s names the files %s" % (r["id"], names)
        for f in r["files"]:
            data = open(os.path.join(firmware, f["name"]), "rb").read()
            assert f["size"] == len(data), "%s: size %s" % (f["name"], f["size"])
            assert f["sha256"] == hashlib.sha256(data).hexdigest(), f["name"] + ": SHA-256 differs"
            assert f["programmed"], f["name"] + " not marked programmed"
        assert r["machine"], "record %s names no machine" % r["id"]
        if modems:
            assert r["ports"].startswith("COM"), "record %s: ports %r" % (r["id"], r["ports"])
    got = sorted((r["location"], r["serial"]) for r in records)
    if modems:
        assert got == modems, "records of %s, expected %s" % (got, modems)
    print("check-history: %d update(s) recorded whole%s" % (
        count, "" if not modems else " for " + ", ".join(m[0] for m in modems)))


if __name__ == "__main__":
    try:
        main(sys.argv)
    except (AssertionError, KeyError, ValueError) as e:
        print("check-history: FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
