#!/usr/bin/env bash
# shellcheck disable=SC2154  # kit_version, kit_processor come from CROSS_BUILD_DIR/kit-config.sh
# The Windows kit at work under Wine (after tests/wine/kit-check.sh made and checked it):
#
#   tests/wine/kit-e2e.sh CROSS_BUILD_DIR HOST_BUILD_DIR WORK_DIR
#
# 1. The examples as linked against the kit update the simulated modem: c_host linked by
#    lld-link against modemflash.lib, cpp_host by ld against libmodemflash.dll.a (Create,
#    Reserved, the sink's events, the posted messages, the result in words). c_host linked by
#    ld against libmodemflash.dll.a runs too, up to the folder it is refused.
# 2. The installer, silent (/S /ADDTOPATH /D=...), puts every file of the kit in place,
#    registers its uninstaller and puts its bin folder on the user's PATH; the installed
#    modemflash.exe updates the simulated modem (recording it in the user's history); the
#    silent uninstaller removes every file it put there, its registry keys and its PATH entry,
#    and leaves the history and a file of the user's alone.
#
# Expects the Wine environment of scripts/test-windows.sh; stops the wineserver itself before
# the modem's pty goes away.
set -euo pipefail
name="kit-e2e"
# shellcheck source=common.sh source-path=SCRIPTDIR
source "$(dirname "$0")/common.sh"

# kit_version, kit_processor ... (written by CMake)
# shellcheck source=/dev/null
source "$cross/kit-config.sh"
case "$kit_processor" in
  x86_64) arch=x64 ;;
  *) arch=x86 ;;
esac
kit=$cross/kit
tree=$kit/modemflash-$kit_version-$arch
hosts=$kit/hosts
for f in "$kit/modemflash-$kit_version-$arch-setup.exe" "$hosts/c_host_msvc_lib.exe"; do
  [ -f "$f" ] || fail "no $f (tests/wine/kit-check.sh makes the kit)"
done

# run_host EXE: an example host updates a fresh modem.
run_host() {
  local exe=$1
  start_modem "$exe"
  MODEMFLASH_TIME_SCALE=$scale run_exe "$exe" "$hosts/$exe.exe" "$folder"
  stop_sim
  local out=$work/$exe.out
  [ "$rc" -eq 0 ] || { cat "$out" "$work/$exe.err" >&2; fail "$exe exited with $rc"; }
  grep -q "result 1: the modem was updated$" "$out" || fail "$exe: no 'result 1: the modem was updated'"
  grep -q "^event 5, value 1" "$out" || fail "$exe: its sink did not see the switch to the loader (5)"
  grep -q "^event 23, value 100" "$out" || fail "$exe: its sink did not see the success (23)"
  grep -q "^  status: Recupero dati completato!" "$out" || fail "$exe: no posted status text"
  grep -q "^  progress 100%" "$out" || fail "$exe: no posted progress of 100%"
  grep -q "^  result text: 100/100" "$out" || fail "$exe: no posted result text"
  check_report "$exe"
  echo "kit-e2e: ok: $exe updated the modem ($(grep -c '^event' "$out") events, $(grep -c '^  ' "$out") messages)"
}
run_host c_host_msvc_lib
run_host cpp_host

start_wine
run_exe c_host "$hosts/c_host.exe" 'Z:\no\such\folder'
[ "$rc" -eq 3 ] && grep -q "was refused" "$work/c_host.err" ||
  fail "c_host (libmodemflash.dll.a) with a missing folder: exit $rc, $(cat "$work/c_host.err")"
echo "kit-e2e: ok: c_host linked against libmodemflash.dll.a runs (a missing folder is refused)"

# 2. The installer.
user_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\modemflash-'$arch
reg_query() { "$wine" reg query "$@" 2> /dev/null | tr -d '\r'; }
target='C:\mfkit\modemflash-'$arch
unix_target=$WINEPREFIX/drive_c/mfkit/modemflash-$arch
rm -rf "$WINEPREFIX/drive_c/mfkit"
"$wine" reg delete 'HKCU\Environment' /v Path /f > /dev/null 2>&1 || true
run_exe setup "$kit/modemflash-$kit_version-$arch-setup.exe" /S /ADDTOPATH "/D=$target"
[ "$rc" -eq 0 ] || fail "the silent install exited with $rc"
diff <(cd "$tree" && find . -type f | LC_ALL=C sort; echo ./uninstall.exe) \
     <(cd "$unix_target" && find . -type f | LC_ALL=C sort) || fail "the installed files differ from the kit's"
while read -r f; do
  cmp -s "$tree/$f" "$unix_target/$f" || fail "the installed $f differs from the kit's"
done < <(cd "$tree" && find . -type f)
reg_query "$user_key" /v UninstallString | grep -qF "$target\\uninstall.exe" || fail "no uninstaller under $user_key"
reg_query "$user_key" /v DisplayVersion | grep -q "$kit_version" || fail "$user_key names no version $kit_version"
reg_query 'HKCU\Environment' /v Path | grep -qiF "$target\\bin" || fail "the install did not put $target\\bin on the PATH"
echo "kit-e2e: ok: the silent install put $(cd "$tree" && find . -type f | wc -l) files and the uninstaller in $target"

# The installed modemflash.exe updates the modem and records it.
rm -rf "$(history_dir)"
start_modem installed
run_exe flash "$unix_target/bin/modemflash.exe" flash "$folder" --time-scale "$scale"
stop_sim
[ "$rc" -eq 0 ] && grep -Eq "^result 1: update complete(;|$)" "$work/flash.out" ||
  fail "the installed modemflash.exe did not update the modem (exit $rc)"
check_report installed
history=$(history_dir)/history.sqlite3
[ -s "$history" ] || fail "the installed modemflash.exe kept no history"
history_sum=$(sha256sum < "$history")

# The uninstaller: a user's own file in the install folder stays, with its folder.
start_wine
echo "my own notes" > "$unix_target/examples/my-notes.txt"
run_exe uninstall "$unix_target/uninstall.exe" /S
# It runs on from a copy of itself in the temporary folder, and returns at once.
for _ in $(seq 300); do [ -e "$unix_target/uninstall.exe" ] || break; sleep 0.1; done
for _ in $(seq 50); do reg_query "$user_key" > /dev/null || break; sleep 0.1; done
left=$(cd "$unix_target" && find . -type f | LC_ALL=C sort)
[ "$left" = "./examples/my-notes.txt" ] || fail "after the uninstall the install folder holds: $left"
[ -z "$(find "$unix_target" -mindepth 1 -type d ! -path "$unix_target/examples")" ] ||
  fail "the uninstall left empty folders: $(find "$unix_target" -mindepth 1 -type d)"
if reg_query "$user_key" > /dev/null; then fail "the uninstall left $user_key"; fi
if reg_query "HKCU\\Software\\modemflash-$arch" > /dev/null; then fail "the uninstall left HKCU\\Software\\modemflash-$arch"; fi
if reg_query 'HKCU\Environment' /v Path | grep -qiF "$target\\bin"; then fail "the uninstall left the PATH entry"; fi
[ "$(sha256sum < "$history")" = "$history_sum" ] || fail "the uninstall touched the user's history"
echo "kit-e2e: ok: the silent uninstall removed its files, keys and PATH entry; the history and the user's file stay"
