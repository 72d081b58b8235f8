#!/usr/bin/env bash
# The Windows builds and their tests under Wine.
#   bash scripts/test-windows.sh                 both architectures
#   bash scripts/test-windows.sh windows-x64     one preset (windows-x64, windows-x86)
#
# Installs what it needs (scripts/install-deps.sh linux windows), cross-builds each preset,
# checks the DLL's export table and the imports of the DLL and the exe, then in a private,
# headless Wine prefix under a temp directory runs the cross-built unit tests and the C ABI
# check (ctest), and a whole update of the simulated modem with modemflash.exe
# (tests/wine/e2e.sh). Exits non-zero at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows-x64 windows-x86)

bash scripts/install-deps.sh linux windows

# The simulated modem and the sample generator run natively.
host_build=$root/build/windows-host
echo "== native helpers (modemsim, modemflash sample) in $host_build"
cmake -S . -B "$host_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMODEMFLASH_WERROR=ON \
  -DMODEMFLASH_BUILD_TESTS=OFF -DMODEMFLASH_BUILD_BENCH=OFF >/dev/null
cmake --build "$host_build" -j2 --target modemsim modemflash_cli modemflash

for preset in "${presets[@]}"; do
  echo "== $preset: configure, build, check the export table"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  bash tests/wine/check-exports.sh "build/$preset"
done

# A private, headless Wine.
work=$(mktemp -d "${TMPDIR:-/tmp}/mfwindows.XXXXXX")
export HOME=$work/home WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
export MF_WINE=/usr/lib/wine/wine64
# Not on PATH without the wine package: called by its full name.
export MF_WINESERVER=/usr/lib/wine/wineserver
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"
cleanup() {
  "$MF_WINESERVER" -k 2>/dev/null || true
  "$MF_WINESERVER" -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# A persistent wineserver, and Wine's own services started with their output in a log: the
# first Wine program of a session starts them, and they would keep its output pipe (ctest's)
# open after it has ended.
start_wineserver() {
  "$MF_WINESERVER" -p >> "$work/wineserver.log" 2>&1
  "$MF_WINE" wineboot >> "$work/wineboot.log" 2>&1 < /dev/null
}

echo "== Wine prefix in $WINEPREFIX"
"$MF_WINE" wineboot -i > "$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
"$MF_WINESERVER" -w

for preset in "${presets[@]}"; do
  start_wineserver
  echo "== $preset: unit tests and the ABI check under Wine"
  ctest --preset "$preset"
  echo "== $preset: a whole update of the simulated modem under Wine"
  bash tests/wine/e2e.sh "build/$preset" "$host_build" "$work/e2e-$preset"
done
echo "== Windows builds and tests passed: ${presets[*]}"
