#!/usr/bin/env bash
# Turns a recorded session (modemflash flash --record) into a regression test: the session is
# checked (it must be whole), copied to tests/sessions/NAME.session.jsonl (.gz and .zst keep
# their compression), and the firmware it was recorded with is copied beside it as
# tests/sessions/NAME.fw/ (update_config.ini and the files the session names, checked against
# the sizes and SHA-256 it holds). test_replay then plays every session there back to the
# host, which must end as recorded, follow every recorded action and deviate nowhere.
#
#   scripts/session-to-test.sh SESSION NAME FIRMWARE_FOLDER
#
# MODEMFLASH_BIN names the build tree with the modemflash program (default build/linux).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 3 ] || { echo "usage: $0 SESSION NAME FIRMWARE_FOLDER" >&2; exit 2; }
session=$1 name=$2 firmware=$3
case "$name" in
  *[!A-Za-z0-9_-]*|"") echo "session-to-test: NAME takes letters, digits, - and _ only" >&2; exit 2 ;;
esac
bin=${MODEMFLASH_BIN:-build/linux}
cli=$bin/tools/modemflash
[ -x "$cli" ] || { echo "session-to-test: no $cli (build the linux preset first)" >&2; exit 1; }

# Whole, and as it was written: modemflash replay refuses anything else with its line.
"$cli" replay "$session" > /dev/null

suffix=.session.jsonl
case "$session" in *.gz) suffix=$suffix.gz ;; *.zst) suffix=$suffix.zst ;; esac
dest=tests/sessions/$name
mkdir -p tests/sessions "$dest.fw"
cp "$session" "$dest$suffix"
cp "$firmware/update_config.ini" "$dest.fw/"
# The files the session names, each checked against what it recorded.
"$cli" replay --json "$session" | python3 -c '
import json, sys, hashlib, os, shutil
firmware, dest = sys.argv[1], sys.argv[2]
for line in sys.stdin:
    e = json.loads(line)
    if e.get("kind") != "firmware":
        continue
    for f in e["event"]["files"]:
        src = os.path.join(firmware, f["name"])
        data = open(src, "rb").read()
        if len(data) != f["size"] or hashlib.sha256(data).hexdigest() != f["sha256"]:
            sys.exit("session-to-test: %s is not the file the session was recorded with" % src)
        shutil.copyfile(src, os.path.join(dest, f["name"]))
' "$firmware" "$dest.fw"
echo "session-to-test: $dest$suffix and $dest.fw/ added; run test_replay (ReplaySessions)"
