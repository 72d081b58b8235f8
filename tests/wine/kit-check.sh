#!/usr/bin/env bash
# shellcheck disable=SC2154  # kit_version, kit_processor come from CROSS_BUILD_DIR/kit-config.sh
# The Windows kit of one cross build, made and checked without running it (so on every
# architecture, also where its programs cannot run here):
#
#   tests/wine/kit-check.sh CROSS_BUILD_DIR
#
# 1. the kit (packaging/windows/make-kit.sh) in CROSS_BUILD_DIR/kit: install tree, .zip, installer
# 2. the version resources of modemflash.dll and modemflash.exe (as built and as shipped) and of
#    the installer carry the project's version (check-version.py)
# 3. the .zip holds exactly the install tree
# 4. the examples, linked against the kit as a host developer links them: c_host with lld-link
#    and modemflash.lib (the import library for Microsoft's linker), c_host and cpp_host with
#    mingw-w64's ld and libmodemflash.dll.a; each imports Create from modemflash.dll. The
#    programs go to CROSS_BUILD_DIR/kit/hosts with the DLL beside them (kit-e2e.sh runs them).
# 5. signing: the kit made again with a throw-away self-signed certificate; osslsigncode verify
#    accepts the DLL, the exe and the installer, while the default kit carries no signature.
set -euo pipefail
build=$(cd "${1:?usage: kit-check.sh CROSS_BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
fail() { echo "kit-check: FAILED: $*" >&2; exit 1; }

# kit_version, kit_processor ... (written by CMake)
# shellcheck source=/dev/null
source "$build/kit-config.sh"
case "$kit_processor" in
  x86_64) arch=x64 triple=x86_64-w64-mingw32 image_base=__image_base__=__ImageBase ;;
  *) arch=x86 triple=i686-w64-mingw32 image_base=__image_base__=___ImageBase ;;
esac
name=modemflash-$kit_version-$arch
kit=$build/kit
bash "$root/packaging/windows/make-kit.sh" "$build" "$kit" > /dev/null
tree=$kit/$name
for f in "$kit/$name.zip" "$kit/$name-setup.exe" "$tree/doc/modemflash.html" \
         "$tree/examples/c_host.c" "$tree/examples/cpp_host.cpp"; do
  [ -s "$f" ] || fail "the kit lacks $f"
done
grep -q "<h2>Windows</h2>" "$tree/doc/modemflash.html" || fail "the manual has no Windows section"

/usr/bin/python3 "$here/check-version.py" "$kit_version" "$build/modemflash.dll" \
  "$build/tools/modemflash.exe" "$tree/bin/modemflash.dll" "$tree/bin/modemflash.exe"
/usr/bin/python3 "$here/check-version.py" --installer "$kit_version" "$kit/$name-setup.exe"

# The .zip and the install tree list the same files.
diff <(cd "$kit" && find "$name" -type f | LC_ALL=C sort) \
     <(unzip -Z1 "$kit/$name.zip" | grep -v '/$' | LC_ALL=C sort) ||
  fail "$name.zip does not hold exactly the install tree"
echo "kit-check: $name.zip holds the install tree ($(unzip -Z1 "$kit/$name.zip" | grep -vc '/$') files)"

# The examples against the kit.
hosts=$kit/hosts
rm -rf "$hosts"
mkdir -p "$hosts"
gcc=$triple-gcc-win32
cflags=(-O2 -Wall -Wextra -Werror -I"$tree/include")
"$gcc" -std=c99 "${cflags[@]}" "$tree/examples/c_host.c" "$tree/lib/libmodemflash.dll.a" -o "$hosts/c_host.exe"
"$triple-g++-win32" "${cflags[@]}" -static "$tree/examples/cpp_host.cpp" "$tree/lib/libmodemflash.dll.a" \
  -o "$hosts/cpp_host.exe"
# lld-link, as Microsoft's linker is driven, with the mingw-w64 C runtime for main and printf;
# modemflash.lib is the only library that knows Create.
"$gcc" -std=c99 "${cflags[@]}" -c "$tree/examples/c_host.c" -o "$hosts/c_host.obj"
crt=$(dirname "$("$gcc" -print-file-name=crt2.o)")
lld-link -lldmingw -nologo -subsystem:console -entry:mainCRTStartup -alternatename:"$image_base" \
  -out:"$hosts/c_host_msvc_lib.exe" "$crt/crt2.o" "$("$gcc" -print-file-name=crtbegin.o)" \
  "$hosts/c_host.obj" "$tree/lib/modemflash.lib" "$crt/libmingw32.a" "$("$gcc" -print-libgcc-file-name)" \
  "$("$gcc" -print-file-name=libgcc_eh.a)" "$crt/libmoldname.a" "$crt/libmingwex.a" "$crt/libmsvcrt.a" \
  "$crt/libkernel32.a" "$crt/libuser32.a" "$crt/libadvapi32.a" "$("$gcc" -print-file-name=crtend.o)" ||
  fail "lld-link could not link c_host against modemflash.lib"
for exe in c_host.exe cpp_host.exe c_host_msvc_lib.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$hosts/$exe" |
    awk '/DLL Name:/{dll=$3} /Hint\/Ord/{t=1;next} t&&NF==0{t=0} t&&dll=="modemflash.dll"{print $NF}')
  [ "$imports" = "Create" ] || fail "$exe imports '$imports' from modemflash.dll, expected Create"
done
cp "$tree/bin/modemflash.dll" "$hosts/"
echo "kit-check: c_host linked by lld-link against modemflash.lib, c_host and cpp_host by ld against libmodemflash.dll.a"

# Unsigned by default; signed when a certificate is given.
for f in "$tree/bin/modemflash.dll" "$tree/bin/modemflash.exe" "$kit/$name-setup.exe"; do
  if osslsigncode verify -in "$f" > /dev/null 2>&1; then fail "$f is signed without a certificate given"; fi
done
sign=$(mktemp -d "${TMPDIR:-/tmp}/mfsign.XXXXXX")
trap 'rm -rf "$sign"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sign/key.pem" -out "$sign/cert.pem" -days 1 \
  -subj "/CN=modemflash throw-away test signer" -addext "extendedKeyUsage=codeSigning" 2> "$sign/openssl.log" ||
  { cat "$sign/openssl.log" >&2; fail "openssl could not make a certificate"; }
MODEMFLASH_SIGN_CERT=$sign/cert.pem MODEMFLASH_SIGN_KEY=$sign/key.pem \
  bash "$root/packaging/windows/make-kit.sh" "$build" "$sign/kit" > /dev/null
for f in "$sign/kit/$name/bin/modemflash.dll" "$sign/kit/$name/bin/modemflash.exe" "$sign/kit/$name-setup.exe"; do
  osslsigncode verify -CAfile "$sign/cert.pem" -in "$f" > "$sign/verify.log" 2>&1 ||
    { cat "$sign/verify.log" >&2; fail "the signature of ${f##*/} does not verify"; }
  grep -q "CN=modemflash throw-away test signer" "$sign/verify.log" || fail "${f##*/} is signed by someone else"
done
unzip -p "$sign/kit/$name.zip" "$name/bin/modemflash.dll" > "$sign/zipped.dll"
osslsigncode verify -CAfile "$sign/cert.pem" -in "$sign/zipped.dll" > /dev/null 2>&1 ||
  fail "the signed kit's .zip holds an unsigned DLL"
echo "kit-check: signed with a throw-away certificate: the DLL, the exe and the installer verify"
echo "kit-check: ok: $kit/$name-setup.exe"
