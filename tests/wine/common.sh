# shellcheck shell=bash disable=SC2034,SC2154
# (`name` comes from the sourcing script; `rc`, `folder` and the rest are read by it.)
# What tests/wine/e2e.sh and tests/wine/station-e2e.sh share, sourced by each with its own
# arguments (CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR) and with `name` set to the script's name,
# which starts its messages.
#
# Installs the cross build into WORK_DIR/app (exe and DLL side by side) and writes the small
# sample firmware set into WORK_DIR/fw, whose Wine path is $folder. Gives fail MESSAGE,
# start_sim REPORT MODEMSIM-ARGS..., stop_sim (also run at exit) and run_flash FLASH-ARGS...
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

# start_sim REPORT ARGS...: Wine's server and services, then modemsim with ARGS in the work
# folder's device tree, its report written to REPORT; publish-com.sh maps each port it
# publishes onto a COM port and logs it in $work/hooks.log.
sim_pid=
start_sim() {
  local report=$1
  shift
  "$wineserver" -p 2>/dev/null || true
  "$wine" wineboot > /dev/null 2>&1 < /dev/null  # Wine's services, away from our pipes
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

# run_flash ARGS...: modemflash.exe flash $folder ARGS, run from the work folder; its exit
# status in $rc, its output in $work/flash.out and $work/flash.err without the CRs that Wine's
# console adds.
run_flash() {
  set +e
  (cd "$work" && timeout 600 "$wine" "$work/app/bin/modemflash.exe" flash "$folder" "$@") \
    > "$work/flash.raw" 2> "$work/flash.err.raw"
  rc=$?
  set -e
  tr -d '\r' < "$work/flash.raw" > "$work/flash.out"
  tr -d '\r' < "$work/flash.err.raw" > "$work/flash.err"
}
