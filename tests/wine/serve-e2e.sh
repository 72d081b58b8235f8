#!/usr/bin/env bash
# The dashboard under Wine: modemflash.exe serve FOLDER updates two simulated modems
# (modemsim --modems 2, each on a COM port that publish-com.sh maps) and answers its API over
# Winsock: /api/modems shows both tiles "updated", /api/station and /metrics agree.
#
#   tests/wine/serve-e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
#
# Expects the Wine environment of scripts/test-windows.sh; stops the wineserver itself before
# the modems' ptys go away.
set -euo pipefail
name=serve-e2e
# shellcheck source=common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/common.sh"

start_sim "$work/report.json" --modems 2
for _ in $(seq 100); do
  [ -s "$work/ready" ] && [ "$(grep -c '^publish' "$work/hooks.log" 2>/dev/null || true)" -ge 2 ] && break
  sleep 0.1
done
[ -s "$work/ready" ] || fail "the simulated modems did not publish their ports"

(cd "$work" && exec timeout 600 "$wine" "$work/app/bin/modemflash.exe" serve "$folder" \
  --listen 127.0.0.1:0 --time-scale "$scale" --no-history) > "$work/serve.raw" 2> "$work/serve.err" &
serve_pid=$!
stop_serve() {
  [ -n "${serve_pid:-}" ] || return 0
  kill -INT "$serve_pid" 2>/dev/null || true  # Wine hands it to the program as Ctrl-C
  for _ in $(seq 100); do kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" 2>/dev/null || true
  serve_pid=
}
trap 'stop_serve; stop_sim' EXIT

port=
for _ in $(seq 300); do
  port=$(tr -d '\r' < "$work/serve.raw" | sed -n 's|^dashboard: http://127\.0\.0\.1:\([0-9]*\)/$|\1|p' | head -1)
  [ -n "$port" ] && break
  kill -0 "$serve_pid" 2>/dev/null || break
  sleep 0.1
done
tr -d '\r' < "$work/serve.raw" > "$work/flash.out"
[ -n "$port" ] || fail "modemflash.exe serve did not say where it listens: $(tail -5 "$work/serve.err")"

# Asks the API until both modems are updated (at most five minutes), then checks what it says.
python3 - "$port" <<'PY' || { tr -d '\r' < "$work/serve.raw" > "$work/flash.out"; fail "the dashboard's API"; }
import json, sys, time, urllib.request
base = "http://127.0.0.1:%s" % sys.argv[1]
def get(path):
    with urllib.request.urlopen(base + path, timeout=30) as r:
        return r.status, r.headers.get("Content-Type", ""), r.read().decode("utf-8")
end = time.time() + 300
tiles = []
while time.time() < end:
    status, kind, body = get("/api/modems")
    assert status == 200 and kind.startswith("application/json"), (status, kind)
    tiles = json.loads(body)["modems"]
    if len(tiles) == 2 and all(not t["running"] for t in tiles):
        break
    time.sleep(0.5)
assert [t["location"] for t in tiles] == ["1-1.1", "1-1.2"], tiles
for t in tiles:
    assert t["state"] == "updated" and t["result"]["words"] == "update complete", t
    assert t["file"] == t["files"] == 7 and t["percent"] == 100, t
    assert t["port"].startswith("COM"), t
station = json.loads(get("/api/station")[2])
assert station["today"]["updated"] == 2 and station["history"]["kept"] is False, station
metrics = get("/metrics")[2]
assert 'modemflash_updates_total{result="updated"} 2\n' in metrics, metrics
print("serve-e2e: /api/modems shows %s updated" % ", ".join(t["location"] for t in tiles))
PY
stop_serve
stop_sim
tr -d '\r' < "$work/serve.raw" > "$work/flash.out"
echo "serve-e2e: ok: modemflash.exe serve updated two modems and answered its API"
