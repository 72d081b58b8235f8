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
cross=$(cd "${1:?usage: station-e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR}" && pwd)
host=$(cd "${2:?}" && pwd)
work=${3:?}
here=$(cd "$(dirname "$0")" && pwd)
wine=${MF_WINE:-/usr/lib/wine/wine64}
wineserver=${MF_WINESERVER:-/usr/lib/wine/wineserver}
scale=${MF_E2E_TIME_SCALE:-10}

fail() {
  echo "station-e2e: FAILED: $*" >&2
  for f in flash.out flash.err modemsim.err hooks.log; do
    [ -s "$work/$f" ] && { echo "--- $f" >&2; tail -n 40 "$work/$f" >&2; }
  done
  exit 1
}

rm -rf "$work"
mkdir -p "$work/dev" "$work/sys"
cmake --install "$cross" --prefix "$work/app" >/dev/null
"$host/tools/modemflash" sample "$work/fw" --small > "$work/sample.out" || fail "sample firmware"

sim_pid=
stop_all() {
  touch "$work/stopping"
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
trap stop_all EXIT

"$wineserver" -p 2>/dev/null || true
"$wine" wineboot > /dev/null 2>&1 < /dev/null
MF_WINE=$wine MF_HOOK_LOG=$work/hooks.log MF_HOOK_STOP_FILE=$work/stopping \
  "$host/sim/modemsim" --modems 2 --dev-root "$work/dev" --sysfs-root "$work/sys" \
  --time-scale "$scale" --report "$work/report.json" --ready-file "$work/ready" \
  --on-publish "$here/publish-com.sh" 2> "$work/modemsim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/ready" ] && [ "$(grep -c '^publish' "$work/hooks.log" 2>/dev/null || true)" -ge 2 ] && break
  sleep 0.1
done
[ -s "$work/ready" ] || fail "the simulated modems did not publish their ports"

folder="Z:${work//\//\\}\\fw"
set +e
(cd "$work" && timeout 600 "$wine" "$work/app/bin/modemflash.exe" flash "$folder" --all \
   --time-scale "$scale") > "$work/flash.raw" 2> "$work/flash.err.raw"
rc=$?
set -e
tr -d '\r' < "$work/flash.raw" > "$work/flash.out"
tr -d '\r' < "$work/flash.err.raw" > "$work/flash.err"
stop_all

[ "$rc" -eq 0 ] || fail "modemflash.exe flash --all exited with $rc"
grep -q "^2 of 2 modem(s) updated; 0 failed$" "$work/flash.out" || fail "no summary of two updates"
for location in 1-1.1 1-1.2; do
  grep -q "^$location: updated" "$work/flash.out" || fail "$location was not updated"
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
