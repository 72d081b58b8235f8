# shellcheck shell=bash disable=SC2034,SC2154
# (`name` comes from the sourcing script; `rc`, `folder` and the rest are read by it.)
# What tests/wine/e2e.sh and tests/wine/station-e2e.sh share, sourced by each with its own
# arguments (CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR) and with `name` set to the script's name,
# which starts its messages.
#
# Installs the cross build into WORK_DIR/app (exe and DLL side by side) and writes the small
# sample firmware set into WORK_DIR/fw, whose Wine path is $folder. Gives fail MESSAGE,
# start_sim REPORT MODEMSIM-ARGS..., stop_sim (also run at exit), run_exe, run_flash
# FLASH-ARGS..., start_modem RUN (one renumbering modem), check_report RUN and history_file.
cross=$(cd "${1:?usage: ${0##*/} CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR}" && pwd)
host=$(cd "${2:?}" && pwd)
work=${3:?}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine=${MF_WINE:-/usr/lib/wine/wine64}
wineserver=${MF_WINESERVER:-/usr/lib/wine/wineserver}
# The modem's new COM port reaches the registry through a `regedit` run in the publish hook,
# which takes seconds on a loaded machine; at 10 times faster the reopen attempts still span
# about 2 seconds after the 2-second wait (at 50 they spanned 0.3 s and a busy machine missed it).
scale=${MF_E2E_TIME_SCALE:-10}

fail() {
  echo "$name: FAILED: $*" >&2
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
folder="Z:${work//\//\\}\\fw"

# Wine's server, and its services started away from our pipes (the first program of a session
# starts them, and they would keep its output pipe open).
start_wine() {
  "$wineserver" -p 2>/dev/null || true
  "$wine" wineboot > /dev/null 2>&1 < /dev/null
}

# start_sim REPORT ARGS...: Wine's server and services, then modemsim with ARGS in the work
# folder's device tree, its report written to REPORT; publish-com.sh maps each port it
# publishes onto a COM port and logs it in $work/hooks.log.
sim_pid=
start_sim() {
  local report=$1
  shift
  start_wine
  MF_WINE=$wine MF_HOOK_LOG=$work/hooks.log MF_HOOK_STOP_FILE=$work/stopping \
    "$host/sim/modemsim" "$@" --dev-root "$work/dev" --sysfs-root "$work/sys" \
    --time-scale "$scale" --report "$report" --ready-file "$work/ready" \
    --on-publish "$here/publish-com.sh" 2> "$work/modemsim.err" &
  sim_pid=$!
}

# The wineserver goes before the modems' ptys do: it takes a pty as its controlling terminal.
stop_sim() {
  touch "$work/stopping"
  "$wineserver" -k 2>/dev/null || true
  "$wineserver" -w 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
trap stop_sim EXIT

# run_exe OUT PROGRAM ARGS...: a Windows program run from the work folder; its exit status in
# $rc, its output in $work/OUT.out and $work/OUT.err without the CRs that Wine's console adds.
run_exe() {
  local out=$1
  shift
  set +e
  (cd "$work" && timeout 600 "$wine" "$@") > "$work/$out.raw" 2> "$work/$out.err.raw"
  rc=$?
  set -e
  tr -d '\r' < "$work/$out.raw" > "$work/$out.out"
  tr -d '\r' < "$work/$out.err.raw" > "$work/$out.err"
}

# run_flash ARGS...: modemflash.exe flash $folder ARGS (output in $work/flash.out, .err).
run_flash() {
  run_exe flash "$work/app/bin/modemflash.exe" flash "$folder" "$@"
}

# start_modem RUN: a fresh simulated modem that renumbers on every mode switch; its report
# goes to $work/RUN.report.json and the publish events to $work/hooks.log.
start_modem() {
  rm -f "$work/ready" "$work/stopping" "$work/hooks.log"
  start_sim "$work/$1.report.json" --renumber
  for _ in $(seq 100); do [ -s "$work/ready" ] && [ -s "$work/hooks.log" ] && break; sleep 0.1; done
  [ -s "$work/ready" ] || fail "the simulated modem did not publish its port"
  first_com=$(awk '/^publish/{print $2; exit}' "$work/hooks.log")
  [ -n "$first_com" ] || fail "the publish hook did not run"
}

# check_report RUN: the modem programmed every archive of the folder, byte for byte, and
# ended in modem mode with autorun on.
check_report() {
  python3 - "$work/$1.report.json" "$work/fw" "$name" <<'PY' || fail "the simulated modem's report ($1) does not match the firmware"
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
print("%s: the modem programmed all %d archives byte for byte" % (sys.argv[3], len(archives)))
PY
}

# The folder of the default update history of the prefix's user, %LOCALAPPDATA%\modemflash.
history_dir() {
  echo "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/modemflash"
}
