#!/usr/bin/env bash
# The main job: a whole firmware update into the simulated modem, on a generated sample
# firmware set, on this machine.
#   bash scripts/demo.sh                 installs what is missing, builds, runs
#   bash scripts/demo.sh --no-build DIR  uses build/linux as it is and works in DIR (tests)
# Environment: MODEMFLASH_DEMO_SCALE (default 100) speeds up every pause of the update and of
# the simulated modem; MODEMFLASH_DEMO_SMALL=1 writes a small firmware set. The update is
# recorded in the history MODEMFLASH_HISTORY names, else in history.sqlite3 in the work folder.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

build=1
if [ "${1:-}" = "--no-build" ]; then build=0; shift; fi
work=${1:-}
scale=${MODEMFLASH_DEMO_SCALE:-100}

if [ "$build" = 1 ]; then
  bash scripts/install-deps.sh linux
  cmake --preset linux >/dev/null
  cmake --build --preset linux -j"$(nproc)" --target modemflash_cli modemflash modemsim
fi
bin=${MODEMFLASH_DEMO_BIN:-$top/build/linux}
cli=$bin/tools/modemflash
sim=$bin/sim/modemsim
[ -x "$cli" ] && [ -x "$sim" ] || { echo "demo: $cli or $sim is missing: build first" >&2; exit 1; }

[ -n "$work" ] || work=$(mktemp -d /tmp/modemflash-demo.XXXXXX)
mkdir -p "$work/dev" "$work/sys"
history=${MODEMFLASH_HISTORY:-$work/history.sqlite3}
rm -f "$work/ready" "$work/report.json"

echo "== Writing a sample firmware set into $work/firmware"
if [ "${MODEMFLASH_DEMO_SMALL:-0}" = 1 ]; then
  "$cli" sample "$work/firmware" --small --force
else
  "$cli" sample "$work/firmware" --force
fi

echo
echo "== Starting the simulated modem (its port is published under $work/dev and $work/sys)"
echo "   NOTE: every pause is scaled for the simulation: time runs ${scale}x faster, so the"
echo "   20-second wait after each mode command takes $((20000 / scale)) ms."
MODEMFLASH_TIME_SCALE=$scale "$sim" --dev-root "$work/dev" --sysfs-root "$work/sys" --renumber \
  --report "$work/report.json" --ready-file "$work/ready" --transcript "$work/transcript.txt" \
  >"$work/modemsim.log" 2>&1 &
simpid=$!
trap 'kill "$simpid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do [ -e "$work/ready" ] && break; sleep 0.05; done
[ -e "$work/ready" ] || { echo "demo: the simulated modem did not start:" >&2; cat "$work/modemsim.log" >&2; exit 1; }

echo
echo "== modemflash flash $work/firmware"
set +e
MODEMFLASH_DEV_ROOT=$work/dev MODEMFLASH_SYSFS_ROOT=$work/sys \
  "$cli" flash "$work/firmware" --time-scale "$scale" --log "$work/engine.log" --history "$history"
status=$?
set -e

kill -INT "$simpid" 2>/dev/null || true
wait "$simpid" 2>/dev/null || true
trap - EXIT

echo
echo "== What the simulated modem has in its flash (engine log: $work/engine.log)"
python3 - "$work/report.json" "$work/firmware" <<'PY'
import hashlib, json, struct, sys, os
report = json.load(open(sys.argv[1]))
names = {0: "modem.wrapped", 1: "secondary_boot.wrapped", 2: "factory_tests.wrapped",
         3: "loader.wrapped", 5: "productConfig.bin", 6: "nocd.iso.wrapped", 7: "mass_storage.wrapped"}
expected = {}
for aid, name in names.items():
    path = os.path.join(sys.argv[2], name)
    if os.path.exists(path):
        data = open(path, "rb").read()
        length = struct.unpack_from("<I", data, 4)[0]
        expected[aid] = hashlib.sha256(data[length:]).hexdigest()
good = 0
for f in report.get("flash", []):
    aid = f.get("id")
    same = expected.get(aid) == f.get("sha256")
    good += same
    print("  archive ID %-2s %-24s %10s bytes  sha256 %s...  %s" % (
        aid, names.get(aid, "?"), f.get("size"), f.get("sha256", "")[:16],
        "identical to the file's payload" if same else "DIFFERS from the file"))
print("  modem mode %s, autorun %s; %d of %d firmware files are in the flash unchanged"
      % (report.get("mode"), report.get("autorun"), good, len(expected)))
PY

echo
echo "== The update history ($history): modemflash history"
"$cli" history --history "$history" --limit 5 || true
exit $status
