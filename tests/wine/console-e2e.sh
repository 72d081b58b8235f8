#!/usr/bin/env bash
# The library's Chinese (GBK) lines as modemflash.exe shows them on a Windows console: a modem
# that refuses loader mode makes the library print "切换到MODE 1失败!" (and the update end
# with result 0); modemflash.exe runs in a Wine console (on a pseudo-terminal, through script)
# set to code page 65001 (UTF-8), then to 936 (GBK), and the terminal must show that line as
# those characters both times.
#
#   tests/wine/console-e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
#
# Expects the Wine environment of scripts/test-windows.sh; stops the wineserver itself before
# the modem's pty goes away.
set -euo pipefail
name="console-e2e"
# shellcheck source=common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/common.sh"

rm -f "$work/ready" "$work/stopping" "$work/hooks.log"
start_sim "$work/console.report.json" --fault "refuse AT%MODE=1 times=all"
for _ in $(seq 100); do [ -s "$work/ready" ] && [ -s "$work/hooks.log" ] && break; sleep 0.1; done
[ -s "$work/hooks.log" ] || fail "the simulated modem did not publish its port"

exe="Z:${work//\//\\}\\app\\bin\\modemflash.exe"
# "切换到MODE 1失败!" in UTF-8, as the terminal (a UTF-8 locale) receives it from the console.
want=$(printf '\xe5\x88\x87\xe6\x8d\xa2\xe5\x88\xb0MODE 1\xe5\xa4\xb1\xe8\xb4\xa5!')
for cp in 65001 936; do
  set +e
  LANG=C.UTF-8 timeout 300 script -qec \
    "$wine cmd /c 'chcp $cp >nul & $exe flash $folder --no-history --time-scale $scale'" /dev/null \
    > "$work/console-$cp.raw" 2>&1
  rc=$?
  set -e
  # The console's cursor and line controls out, CRs out.
  sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$work/console-$cp.raw" | tr -d '\r' > "$work/console-$cp.out"
  # The refused loader mode ends the update with result 0 (exit 4).
  [ "$rc" -eq 4 ] || { tail -n 20 "$work/console-$cp.out" >&2; fail "code page $cp: exit $rc, expected 4"; }
  grep -qF "$want" "$work/console-$cp.out" ||
    { grep -a "MODE 1" "$work/console-$cp.out" | od -c | head -n 8 >&2; fail "code page $cp: the GBK line is not shown as its characters"; }
  echo "console-e2e: ok: on a code page $cp console the library's line reads \"$want\""
done
stop_sim
