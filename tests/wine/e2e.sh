#!/usr/bin/env bash
# A whole firmware update under Wine: modemflash.exe (cross-built, as installed: exe and DLL
# side by side) flashes the simulated modem (Linux-native modemsim) through a COM port that
# publish-com.sh maps onto the modem's pty. The modem renumbers on every mode switch, so the
# library must find it again under another COM number.
#
#   tests/wine/e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
#
# Expects the Wine environment of scripts/test-windows.sh (WINEPREFIX, ...) with wineserver
# running; stops the wineserver itself before the modem's pty goes away (wineserver takes the
# pty as its controlling terminal). Checks the exit status, the output text (CRs that Wine's
# console adds removed) and the simulated modem's report of what it programmed.
set -euo pipefail
cross=$(cd "${1:?usage: e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR}" && pwd)
host=$(cd "${2:?}" && pwd)
work=${3:?}
here=$(cd "$(dirname "$0")" && pwd)
wine=${MF_WINE:-/usr/lib/wine/wine64}
wineserver=${MF_WINESERVER:-/usr/lib/wine/wineserver}
# The modem's new COM port reaches the registry through a `regedit` run in the publish hook,
# which takes seconds on a loaded machine; at 10 times faster the reopen attempts still span
# about 2 seconds after the 2-second wait (at 50 they spanned 0.3 s and a busy machine missed it).
scale=${MF_E2E_TIME_SCALE:-10}

fail() {
  echo "e2e: FAILED: $*" >&2
  for f in flash.out flash.err modemsim.err hooks.log; do
    [ -s "$work/$f" ] && { echo "--- $f" >&2; tail -n 40 "$work/$f" >&2; }
  done
  exit 1
}

rm -rf "$work"
mkdir -p "$work/dev" "$work/sys"
cmake --install "$cross" --prefix "$work/app" >/dev/null
for f in bin/modemflash.dll bin/modemflash.exe lib/libmodemflash.dll.a include/modemflash/downloader.h \
         include/modemflash/messages.h; do
  [ -f "$work/app/$f" ] || fail "the installed tree lacks $f"
done

"$host/tools/modemflash" sample "$work/fw" --small > "$work/sample.out" || fail "sample firmware"

sim_pid=
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
trap 'touch "$work/stopping"; "$wineserver" -k 2>/dev/null || true; stop_sim' EXIT

# start_modem RUN: a fresh simulated modem that renumbers on every mode switch; its report
# goes to $work/RUN.report.json and the publish events to $work/hooks.log.
start_modem() {
  rm -f "$work/ready" "$work/stopping" "$work/hooks.log"
  "$wineserver" -p 2>/dev/null || true
  "$wine" wineboot > /dev/null 2>&1 < /dev/null  # Wine's services, away from our pipes
  MF_WINE=$wine MF_HOOK_LOG=$work/hooks.log MF_HOOK_STOP_FILE=$work/stopping \
    "$host/sim/modemsim" --dev-root "$work/dev" --sysfs-root "$work/sys" --renumber \
    --time-scale "$scale" --report "$work/$1.report.json" --ready-file "$work/ready" \
    --on-publish "$here/publish-com.sh" 2> "$work/modemsim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/ready" ] && [ -s "$work/hooks.log" ] && break; sleep 0.1; done
  [ -s "$work/ready" ] || fail "the simulated modem did not publish its port"
  first_com=$(awk '/^publish/{print $2; exit}' "$work/hooks.log")
  [ -n "$first_com" ] || fail "the publish hook did not run"
}

# The wineserver goes before the modem's pty does.
stop_modem() {
  touch "$work/stopping"
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  stop_sim
}

# check_report RUN: the modem programmed every archive of the folder, byte for byte, and
# ended in modem mode with autorun on.
check_report() {
  python3 - "$work/$1.report.json" "$work/fw" <<'PY' || fail "the simulated modem's report ($1) does not match the firmware"
import hashlib, json, sys
report = json.load(open(sys.argv[1]))
order = ["loader.wrapped", "secondary_boot.wrapped", "factory_tests.wrapped", "modem.wrapped",
         "mass_storage.wrapped", "nocd.iso.wrapped", "productConfig.bin"]
archives = report["archives"]
assert len(archives) == len(order), "%d archives programmed, expected %d" % (len(archives), len(order))
for name, got in zip(order, archives):
    data = open(sys.argv[2] + "/" + name, "rb").read()
    payload = data[got["header_length"]:]
    assert got["complete"] and got["programmed"], name + " not programmed"
    assert got["size"] == len(payload), "%s: %d bytes, file has %d" % (name, got["size"], len(payload))
    assert got["sha256"] == hashlib.sha256(payload).hexdigest(), name + ": payload differs"
assert report["mode"] == 0, "modem left in mode %d" % report["mode"]
assert report["autorun"] == 1, "autorun left off"
assert report["switches"] >= 2, "only %d mode switches" % report["switches"]
print("e2e: the modem programmed all %d archives byte for byte" % len(archives))
PY
}

# 1. The command-line host.
start_modem flash
folder="Z:${work//\//\\}\\fw"
set +e
(cd "$work" && MODEMFLASH_TIME_SCALE=$scale timeout 600 "$wine" "$work/app/bin/modemflash.exe" \
   flash "$folder" --time-scale "$scale") > "$work/flash.raw" 2> "$work/flash.err.raw"
rc=$?
set -e
tr -d '\r' < "$work/flash.raw" > "$work/flash.out"
tr -d '\r' < "$work/flash.err.raw" > "$work/flash.err"
stop_modem

[ "$rc" -eq 0 ] || fail "modemflash.exe flash exited with $rc"
grep -qx "result 1: update complete" "$work/flash.out" || fail "no 'result 1: update complete' line"
grep -q "^the port is $first_com!\?$" "$work/flash.out" ||
  grep -q "the port is $first_com" "$work/flash.out" || fail "the first port $first_com was not used"
grep -q "^status: Recupero dati completato!" "$work/flash.out" || fail "no recovery status text"
grep -qx "result: 100/100" "$work/flash.out" || fail "no result text 100/100"
grep -qx "success (100%)" "$work/flash.out" || fail "no success event"

publishes=$(grep -c '^publish' "$work/hooks.log")
last_com=$(awk '/^publish/{c=$2} END{print c}' "$work/hooks.log")
[ "$publishes" -ge 2 ] || fail "the modem never came back after a mode switch"
[ "$last_com" != "$first_com" ] || fail "the modem did not come back under another COM number"
grep -q "the port is $last_com" "$work/flash.out" || fail "the renumbered port $last_com was not found"

check_report flash
echo "e2e: ok: modemflash.exe flashed through $first_com, found the modem again as $last_com"

# 2. The C host through the operation table, with its sink receiving the events.
start_modem abi
abi_dir=$(dirname "$(find "$cross/tests/abi" -name abi_host.exe | head -n 1)")
[ -f "$abi_dir/abi_host.exe" ] || fail "no abi_host.exe in $cross/tests/abi"
cp "$work/app/bin/modemflash.dll" "$abi_dir/"
set +e
(cd "$work" && MODEMFLASH_TIME_SCALE=$scale timeout 600 "$wine" "$abi_dir/abi_host.exe" "$folder" --modem) \
  > "$work/abi.raw" 2>&1
rc=$?
set -e
tr -d '\r' < "$work/abi.raw" > "$work/abi.out"
stop_modem
grep -q "^abi: all checks passed$" "$work/abi.out" && [ "$rc" -eq 0 ] ||
  { cat "$work/abi.out" >&2; fail "the C host's update (exit $rc)"; }
grep "^abi: Download returned" "$work/abi.out"
check_report abi
echo "e2e: ok: the C host updated the modem through the operation table"
