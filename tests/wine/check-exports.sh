#!/usr/bin/env bash
# Checks a cross build's artefacts: modemflash.dll exports exactly one name, Create, and the
# DLL and modemflash.exe import only system DLLs (the runtime is linked in statically).
#   tests/wine/check-exports.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check-exports.sh BUILD_DIR}
dll=$build/modemflash.dll
exe=$build/tools/modemflash.exe
objdump=x86_64-w64-mingw32-objdump  # reads PE files of both architectures

fail() { echo "check-exports: $*" >&2; exit 1; }
[ -f "$dll" ] || fail "no $dll"
[ -f "$build/libmodemflash.dll.a" ] || fail "no import library $build/libmodemflash.dll.a"

exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&NF==0{t=0} t{print $NF}')
[ "$exports" = "Create" ] || fail "$dll exports '$(echo $exports)', expected only Create"
echo "check-exports: $dll exports only Create"

# The import library names the same symbol (decorated for the linker only: __imp_Create on
# x86_64, __imp__Create on i686).
nm "$build/libmodemflash.dll.a" 2>/dev/null | grep -Eq ' I __imp__?Create$' ||
  fail "the import library does not define Create"

allowed='^(KERNEL32|USER32|ADVAPI32|WS2_32|msvcrt)\.dll$'
for f in "$dll" "$exe"; do
  [ -f "$f" ] || fail "no $f"
  while read -r name; do
    echo "$name" | grep -Eiq "$allowed" || fail "$f needs $name (only system DLLs are allowed)"
  done < <("$objdump" -p "$f" | awk '/DLL Name:/{print $3}')
done
echo "check-exports: $dll and $exe need only system DLLs"
