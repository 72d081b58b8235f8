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
name=e2e
# shellcheck source=common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/common.sh"

# 1. The command-line host, which records the update in its default history.
rm -rf "$(history_dir)"
start_modem flash
MODEMFLASH_TIME_SCALE=$scale run_flash --time-scale "$scale"
stop_sim

[ "$rc" -eq 0 ] || fail "modemflash.exe flash exited with $rc"
grep -Eq "^result 1: update complete(;|$)" "$work/flash.out" || fail "no 'result 1: update complete' line"
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

[ -s "$(history_dir)/history.sqlite3" ] || fail "the update left no history in %LOCALAPPDATA%\\modemflash"
start_wine
run_exe history "$work/app/bin/modemflash.exe" history --json
[ "$rc" -eq 0 ] || fail "modemflash.exe history --json exited with $rc: $(cat "$work/history.err")"
python3 "$here/check-history.py" "$work/history.out" "$work/fw" 1 || fail "the history does not hold the update"
run_exe history-list "$work/app/bin/modemflash.exe" history
grep -q "ok" "$work/history-list.out" || fail "modemflash.exe history does not list the update: $(cat "$work/history-list.out")"
echo "e2e: ok: the update is in %LOCALAPPDATA%\\modemflash\\history.sqlite3 and history --json shows it"

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
stop_sim
grep -q "^abi: all checks passed$" "$work/abi.out" && [ "$rc" -eq 0 ] ||
  { cat "$work/abi.out" >&2; fail "the C host's update (exit $rc)"; }
grep "^abi: Download returned" "$work/abi.out"
check_report abi
echo "e2e: ok: the C host updated the modem through the operation table"
