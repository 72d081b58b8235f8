#!/usr/bin/env bash
# modemsim's --on-publish hook under Wine: makes the simulated modem's pty the COM port of
# the same number, as Windows would show a USB modem that has just arrived or left.
#
#   publish:   $WINEPREFIX/dosdevices/com<N> -> the pty, and in the registry the device
#              instance SYSTEM\CurrentControlSet\Enum\USB\VID_F00D&PID_9001&MI_02\<inst>
#              (Ports class, a FRIENDLYNAME with "Modem", Device Parameters\PORTNAME COM<N>)
#              plus the value in HARDWARE\DEVICEMAP\SERIALCOMM
#   unpublish: the symlink and the SERIALCOMM value go; the Enum instance stays, as Windows
#              keeps the instances of absent devices.
#
# With MODEMSIM_LOCATION and MODEMSIM_SERIAL (modemsim --modems N) the modem is a composite
# USB device as Windows shows one: its device key ...\VID_F00D&PID_9001\<serial> holds
# ParentIdPrefix and LocationInformation, and the interface's instance is named by that prefix
# (<prefix>&0002). Several modems pass COM numbers among themselves, so there the interface's
# instance goes at unpublish: an absent modem's instance must not name a port that another
# modem holds now (Windows never gives one device's COM number to another).
#
# VID_F00D&PID_9001 is the simulated modem's USB identity (src/platform/simulated_modem.h): by
# it the library honours a time scale for this port.
#
# Environment: MODEMSIM_EVENT, MODEMSIM_COM, MODEMSIM_DEVICE (from modemsim), WINEPREFIX,
# MF_WINE (the Wine loader), MF_HOOK_LOG (one line per event is appended), MF_HOOK_STOP_FILE
# (when it exists, the registry is left alone).
set -euo pipefail

# Several modems publish at about the same moment: one registry import at a time.
exec 9> "$WINEPREFIX/.publish-com.lock"
flock 9

com=${MODEMSIM_COM:?}
link=$WINEPREFIX/dosdevices/com$com
reg=$(mktemp "${TMPDIR:-/tmp}/mfcom.XXXXXX.reg")
trap 'rm -f "$reg"' EXIT

instance="HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_F00D&PID_9001&MI_02\\7&1a2b3c&0&$com"
location=${MODEMSIM_LOCATION:-}
parent_block=
if [ -n "$location" ]; then
  prefix="8&$location&0"
  instance="HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_F00D&PID_9001&MI_02\\$prefix&0002"
  parent="HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_F00D&PID_9001\\${MODEMSIM_SERIAL:-$prefix}"
  parent_block="[$parent]
\"ParentIdPrefix\"=\"$prefix\"
\"LocationInformation\"=\"$location\"
"
fi
serialcomm="HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
device="\\\\Device\\\\SimModem$com"

# While the harness shuts down (the wineserver already stopped) only the symlink goes: a
# registry change would start a new wineserver, and the volatile SERIALCOMM key goes anyway.
if [ "$MODEMSIM_EVENT" = unpublish ] && [ -n "${MF_HOOK_STOP_FILE:-}" ] && [ -e "$MF_HOOK_STOP_FILE" ]; then
  rm -f "$link"
  echo "$MODEMSIM_EVENT COM$com ${MODEMSIM_DEVICE:-}" >> "${MF_HOOK_LOG:-/dev/null}"
  exit 0
fi

case "${MODEMSIM_EVENT:?}" in
  publish)
    # The registry first, then the name a host opens: a port that opens is already shown
    # as the simulated modem's.
    cat > "$reg" <<REG
REGEDIT4

$parent_block
[$instance]
"CLASSGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"FRIENDLYNAME"="Simulated USB Modem (COM$com)"

[$instance\\Device Parameters]
"PORTNAME"="COM$com"

[$serialcomm]
"$device"="COM$com"
REG
    ;;
  unpublish)
    rm -f "$link"
    cat > "$reg" <<REG
REGEDIT4

[$serialcomm]
"$device"=-
REG
    if [ -n "$location" ]; then
      printf '\n[-%s]\n' "$instance" >> "$reg"
    fi
    ;;
  *) echo "publish-com: unknown event $MODEMSIM_EVENT" >&2; exit 2 ;;
esac

"${MF_WINE:-/usr/lib/wine/wine64}" regedit /S "Z:${reg//\//\\}"
[ "$MODEMSIM_EVENT" = publish ] && ln -sfn "${MODEMSIM_DEVICE:?}" "$link"
echo "$MODEMSIM_EVENT COM$com ${MODEMSIM_DEVICE:-}" >> "${MF_HOOK_LOG:-/dev/null}"
