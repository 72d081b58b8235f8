#!/usr/bin/env bash
# Two modems at once under Wine: modemflash.exe flash FOLDER --all updates two simulated
# modems (modemsim --modems 2) on two COM ports, each found again at its USB location after
# every mode switch while their COM numbers pass between them (publish-com.sh writes each
# modem's USB device with ParentIdPrefix and LocationInformation, as Windows keeps them).
#
#   tests/wine/station-e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
#
# Expects the Wine environment of scripts/test-windows.sh; stops the wineserver itself before
# the modems' ptys go away.
set -euo pipefail
name=station-e2e
# shellcheck source=common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/common.sh"

# A damaged history where the default one lives (SQLite's header, then pages of garbage): it
# is set aside and a new one started.
mkdir -p "$(history_dir)"
rm -f "$(history_dir)"/history.sqlite3*
{ printf 'SQLite format 3\000'; printf 'this is no database, only the remains of one\n%.0s' $(seq 200); } \
  > "$(history_dir)/history.sqlite3"
damaged_sum=$(sha256sum < "$(history_dir)/history.sqlite3")

start_sim "$work/report.json" --modems 2
for _ in $(seq 100); do
  [ -s "$work/ready" ] && [ "$(grep -c '^publish' "$work/hooks.log" 2>/dev/null || true)" -ge 2 ] && break
  sleep 0.1
done
[ -s "$work/ready" ] || fail "the simulated modems did not publish their ports"

run_flash --all --time-scale "$scale"
stop_sim

[ "$rc" -eq 0 ] || fail "modemflash.exe flash --all exited with $rc"
grep -q "^2 of 2 modem(s) updated; 0 failed; 0 left out$" "$work/flash.out" || fail "no summary of two updates"
for location in 1-1.1 1-1.2; do
  grep -q "^$location: update complete" "$work/flash.out" || fail "$location was not updated"
done
python3 - "$work/report.json" "$work/fw" <<'PY' || fail "the modems' report does not match the firmware"
import hashlib, json, sys
modems = json.load(open(sys.argv[1]))["modems"]
assert len(modems) == 2, "%d modems reported" % len(modems)
order = ["loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
         "mass_storage.wrapped", "nocd.iso.wrapped", "productConfig.bin"]
for m in modems:
    report = m["report"]
    archives = report["archives"]
    assert len(archives) == len(order), "%s: %d archives" % (m["location"], len(archives))
    for name, got in zip(order, archives):
        data = open(sys.argv[2] + "/" + name, "rb").read()
        payload = data[got["header_length"]:]
        assert got["programmed"], m["location"] + ": " + name + " not programmed"
        assert got["sha256"] == hashlib.sha256(payload).hexdigest(), m["location"] + ": " + name
    assert report["mode"] == 0 and report["autorun"] == 1, m["location"] + " not back in modem mode"
    assert report["commands"].count("AT%DEBUG=99") == 1, m["location"] + " saw another job"
print("station-e2e: both modems programmed all %d archives byte for byte" % len(order))
PY
echo "station-e2e: ok: modemflash.exe updated two modems at once"

aside=$(find "$(history_dir)" -name 'history.sqlite3.corrupt-*' ! -name '*-wal' ! -name '*-shm')
[ "$(echo "$aside" | grep -c .)" -eq 1 ] || fail "the damaged history was not set aside once: $aside"
[ "$(sha256sum < "$aside")" = "$damaged_sum" ] || fail "the damaged history was changed when set aside"
grep -q "moved aside as .*history.sqlite3.corrupt-" "$work/flash.out" "$work/flash.err" ||
  fail "nobody was told that the damaged history was set aside"
start_wine
run_exe history "$work/app/bin/modemflash.exe" history --json
[ "$rc" -eq 0 ] || fail "modemflash.exe history --json exited with $rc: $(cat "$work/history.err")"
python3 "$here/check-history.py" "$work/history.out" "$work/fw" 2 1-1.1:SIM0001 1-1.2:SIM0002 ||
  fail "the new history does not hold both updates"
echo "station-e2e: ok: the damaged history was set aside as ${aside##*/}; the new one holds both updates"
