#!/usr/bin/env bash
# The Windows builds and their tests under Wine.
#   bash scripts/test-windows.sh                 both architectures
#   bash scripts/test-windows.sh windows-x64     one preset (windows-x64, windows-x86)
#
# Installs what it needs (scripts/install-deps.sh linux windows), builds SQLite for the
# targets once per cache (scripts/build-sqlite-mingw.sh), cross-builds each preset, checks the
# DLL's export table, the imports of the DLL and the exe, and the kit without running it
# (version resources, .zip, the examples linked against both import libraries, signing:
# tests/wine/kit-check.sh), then in a private, headless Wine prefix under a temp directory
# runs the cross-built unit tests and the C ABI check (ctest), and each script of wine_tests
# below with the same arguments (CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR): whole updates of
# the simulated modem with modemflash.exe and its history, two modems at once, the examples
# and the installer. Exits non-zero at the first failure.
#
# A machine whose kernel cannot run 32-bit programs (no IA-32 emulation) still builds the i686
# preset and checks its export and import tables, but cannot run its tests: that is said in one
# line ("windows-x86: built and checked; tests not run: ..."), which is also written to
# $MODEMFLASH_NOT_RUN_FILE when set, so that the test command repeats it in its summary.
# Nothing else is decided by that check: a missing package or a broken prefix still fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(windows-x64 windows-x86)

bash scripts/install-deps.sh linux windows

# The Wine tests of every preset that can run here, in this order; each is called as
#   tests/wine/NAME CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
# with the Wine environment below and wineserver running, and stops it before it ends.
wine_tests=(
  e2e.sh          # a whole update with modemflash.exe, its history; the C host's update
  station-e2e.sh  # two simulated modems at once (flash --all), a damaged history set aside
  kit-e2e.sh      # the examples and the installed modemflash.exe update the modem; uninstall
  console-e2e.sh  # the library's GBK lines readable on a UTF-8 and a code page 936 console
  serve-e2e.sh    # modemflash.exe serve: two modems and the dashboard's API
)

# SQLite for each target, built once per cache from Debian's source.
triples=()
for preset in "${presets[@]}"; do
  case "$preset" in
    windows-x64) triples+=(x86_64-w64-mingw32) ;;
    windows-x86) triples+=(i686-w64-mingw32) ;;
  esac
done
started=$SECONDS
bash scripts/build-sqlite-mingw.sh "${triples[@]}"
echo "== SQLite for ${triples[*]} ready in $((SECONDS - started)) s"

# Can this kernel run 32-bit programs? Asked once, of the 32-bit Wine loader itself (installed
# above): exit 126 with "Exec format error" means the kernel refuses i386 executables. Any other
# failure of the loader is a broken installation and fails the run below.
wine32_loader=/usr/lib/wine/wine
can_run_32bit() {
  local out rc=0
  out=$("$wine32_loader" --version 2>&1) || rc=$?
  [ "$rc" -eq 0 ] && return 0
  if [ "$rc" -eq 126 ] && grep -qi 'exec format error' <<<"$out"; then
    return 1
  fi
  echo "test-windows: the 32-bit Wine loader $wine32_loader fails (exit $rc): $out" >&2
  exit 1
}
no32_reason=
if ! can_run_32bit; then
  no32_reason="this kernel cannot run 32-bit programs"
fi
# Says that a preset's runtime tests are skipped, and why; true when they are.
not_run() {
  local preset=$1
  [ "$preset" = windows-x86 ] && [ -n "$no32_reason" ] || return 1
  local line="$preset: built and checked; tests not run: $no32_reason"
  echo "== $line"
  [ -z "${MODEMFLASH_NOT_RUN_FILE:-}" ] || echo "$line" >> "$MODEMFLASH_NOT_RUN_FILE"
  return 0
}

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
  echo "== $preset: the kit (version resources, .zip, examples against both import libraries, signing)"
  started=$SECONDS
  bash tests/wine/kit-check.sh "build/$preset"
  echo "== $preset: the kit checked in $((SECONDS - started)) s"
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
  [ -z "${sim_pid:-}" ] || stop_test_modem
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

# A simulated modem on a COM port for the serial backend's tests (MODEMFLASH_TEST_COM).
sim_pid=
start_test_modem() {
  local dir=$work/test-modem
  rm -rf "$dir"
  mkdir -p "$dir/dev" "$dir/sys"
  MF_HOOK_LOG=$dir/hooks.log MF_HOOK_STOP_FILE=$dir/stopping \
    "$host_build/sim/modemsim" --dev-root "$dir/dev" --sysfs-root "$dir/sys" \
    --ready-file "$dir/ready" --on-publish "$root/tests/wine/publish-com.sh" 2> "$dir/modemsim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$dir/hooks.log" ] && break; sleep 0.1; done
  MODEMFLASH_TEST_COM=$(awk '/^publish/{print $2; exit}' "$dir/hooks.log")
  [ -n "$MODEMFLASH_TEST_COM" ] || { echo "the test modem did not publish a port" >&2; exit 1; }
  export MODEMFLASH_TEST_COM
}
# The wineserver goes first: it has taken the pty as its controlling terminal.
stop_test_modem() {
  touch "$work/test-modem/stopping"
  "$MF_WINESERVER" -k 2>/dev/null || true
  "$MF_WINESERVER" -w 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
  unset MODEMFLASH_TEST_COM
}

ran=()
skipped=()
for preset in "${presets[@]}"; do
  if not_run "$preset"; then
    skipped+=("$preset")
    continue
  fi
  ran+=("$preset")
  start_wineserver
  "$MF_WINE" regedit /S "Z:${root//\//\\}\\tests\\wine\\registry-fixture.reg"
  start_test_modem
  echo "== $preset: unit tests and the ABI check under Wine (test modem on $MODEMFLASH_TEST_COM)"
  ctest --preset "$preset" -E '^abi_check$' || { stop_test_modem; exit 1; }
  stop_test_modem
  start_wineserver
  # The ABI check's first run expects no modem at all.
  ctest --preset "$preset" -R '^abi_check$'
  for test in "${wine_tests[@]}"; do
    echo "== $preset: tests/wine/$test"
    started=$SECONDS
    bash "tests/wine/$test" "build/$preset" "$host_build" "$work/${test%.sh}-$preset"
    echo "== $preset: tests/wine/$test passed in $((SECONDS - started)) s"
  done
done
if [ ${#skipped[@]} -eq 0 ]; then
  echo "== Windows builds and tests passed: ${presets[*]}"
else
  echo "== Windows builds checked: ${presets[*]}; tests passed: ${ran[*]:-none}; tests not run: ${skipped[*]} ($no32_reason)"
fi
