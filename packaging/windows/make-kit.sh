#!/usr/bin/env bash
# shellcheck disable=SC2154  # kit_version, kit_processor, kit_source, kit_copyright come from BUILD_DIR/kit-config.sh
# The Windows kit of one cross build (CMake target `kit`, and scripts/test-windows.sh):
#   bash packaging/windows/make-kit.sh BUILD_DIR [OUT_DIR]        OUT_DIR defaults to BUILD_DIR/kit
# makes in OUT_DIR
#   modemflash-VERSION-ARCH/             the install tree, stripped: bin/ (modemflash.dll,
#                                        modemflash.exe), include/modemflash/, lib/ (modemflash.lib,
#                                        libmodemflash.dll.a, modemflash.def), examples/,
#                                        doc/modemflash.html (the manual)
#   modemflash-VERSION-ARCH.zip          the same tree, for those who do not install
#   modemflash-VERSION-ARCH-setup.exe    the installer (NSIS; packaging/windows/modemflash.nsi)
# ARCH is x64 (x86_64) or x86 (i686). Prints the installer's path last.
#
# Signing (off unless a certificate is given): with MODEMFLASH_SIGN_CERT set, the DLL, the exe,
# the uninstaller and the installer are signed with osslsigncode (SHA-256). The certificate is
# either a PKCS#12 file (.p12, .pfx) or a PEM certificate with its PEM key in
# MODEMFLASH_SIGN_KEY; MODEMFLASH_SIGN_PASSWORD_FILE names a file holding the password of the
# key or PKCS#12 file; MODEMFLASH_SIGN_TIMESTAMP_URL, when set, has each signature timestamped.
set -euo pipefail

build=$(cd "${1:?usage: make-kit.sh BUILD_DIR [OUT_DIR]}" && pwd)
# shellcheck source=/dev/null
source "$build/kit-config.sh"
out=${2:-$build/kit}
here=$(cd "$(dirname "$0")" && pwd)
case "$kit_processor" in
  x86_64 | AMD64) arch=x64 ;;
  i686 | i386 | x86) arch=x86 ;;
  *) echo "make-kit: unknown processor $kit_processor" >&2; exit 1 ;;
esac
name=modemflash-$kit_version-$arch
stage=$out/$name
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$out/$name

# The signing command, as one shell word list: osslsigncode sign OPTIONS -in FILE -out FILE.
sign_opts=()
if [ -n "${MODEMFLASH_SIGN_CERT:-}" ]; then
  command -v osslsigncode > /dev/null || { echo "make-kit: osslsigncode is needed to sign" >&2; exit 1; }
  [ -f "$MODEMFLASH_SIGN_CERT" ] || { echo "make-kit: no certificate $MODEMFLASH_SIGN_CERT" >&2; exit 1; }
  case "$MODEMFLASH_SIGN_CERT" in
    *.p12 | *.pfx | *.P12 | *.PFX) sign_opts+=(-pkcs12 "$MODEMFLASH_SIGN_CERT") ;;
    *)
      [ -f "${MODEMFLASH_SIGN_KEY:-}" ] ||
        { echo "make-kit: MODEMFLASH_SIGN_KEY must name the PEM key of $MODEMFLASH_SIGN_CERT" >&2; exit 1; }
      sign_opts+=(-certs "$MODEMFLASH_SIGN_CERT" -key "$MODEMFLASH_SIGN_KEY")
      ;;
  esac
  [ -z "${MODEMFLASH_SIGN_PASSWORD_FILE:-}" ] || sign_opts+=(-readpass "$MODEMFLASH_SIGN_PASSWORD_FILE")
  [ -z "${MODEMFLASH_SIGN_TIMESTAMP_URL:-}" ] || sign_opts+=(-ts "$MODEMFLASH_SIGN_TIMESTAMP_URL")
  sign_opts+=(-h sha256 -n "modemflash $kit_version")
fi
# sign FILE: signs FILE in place (nothing without a certificate).
sign() {
  [ ${#sign_opts[@]} -gt 0 ] || return 0
  osslsigncode sign "${sign_opts[@]}" -in "$1" -out "$1.signed" > "$out/sign.log" 2>&1 ||
    { cat "$out/sign.log" >&2; rm -f "$1.signed"; echo "make-kit: signing $1 failed" >&2; exit 1; }
  mv "$1.signed" "$1"
}

rm -rf "$stage" "$out/$name.zip" "$out/$name-setup.exe"
cmake --install "$build" --prefix "$stage" --strip > "$out/install.log"
for f in bin/modemflash.dll bin/modemflash.exe lib/modemflash.lib lib/libmodemflash.dll.a \
         lib/modemflash.def include/modemflash/downloader.h; do
  [ -f "$stage/$f" ] || { echo "make-kit: the install tree lacks $f" >&2; exit 1; }
done

# The manual: the README as one HTML page.
mkdir -p "$stage/doc"
/usr/bin/python3 - "$kit_source/README.md" "$stage/doc/modemflash.html" "$kit_version" <<'PY'
import html, sys
import markdown
text = open(sys.argv[1], encoding="utf-8").read()
body = markdown.markdown(text, extensions=["tables", "fenced_code"], output_format="html")
title = "modemflash %s" % sys.argv[3]
with open(sys.argv[2], "w", encoding="utf-8", newline="\r\n") as f:
    f.write('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            "<title>%s</title>\n<style>body{font-family:sans-serif;max-width:60em;margin:auto;"
            "padding:1em}pre{background:#f4f4f4;padding:.5em;overflow:auto}table{border-collapse:"
            "collapse}td,th{border:1px solid #ccc;padding:.2em .5em}</style>\n</head>\n<body>\n"
            % html.escape(title))
    f.write(body)
    f.write("\n</body>\n</html>\n")
PY

sign "$stage/bin/modemflash.dll"
sign "$stage/bin/modemflash.exe"

(cd "$out" && zip -q -r -X "$name.zip" "$name")

# The installer's file lists: what it installs, and what its uninstaller removes (files,
# then the folders deepest first, each only if left empty).
install_nsh=$out/$name-install.nsh
uninstall_nsh=$out/$name-uninstall.nsh
: > "$install_nsh"
: > "$uninstall_nsh"
# shellcheck disable=SC1003
win() { printf '%s' "$1" | tr / '\\'; }
while read -r dir; do
  rel=${dir#"$stage"}
  rel=${rel#/}
  files=$(find "$dir" -mindepth 1 -maxdepth 1 -type f | LC_ALL=C sort)
  [ -n "$files" ] || continue
  echo "SetOutPath \"\$INSTDIR$([ -z "$rel" ] || echo "\\$(win "$rel")")\"" >> "$install_nsh"
  while read -r f; do
    echo "File \"$f\"" >> "$install_nsh"
    echo "Delete \"\$INSTDIR\\$(win "${f#"$stage"/}")\"" >> "$uninstall_nsh"
  done <<< "$files"
done < <(find "$stage" -type d | LC_ALL=C sort)
find "$stage" -mindepth 1 -type d | awk '{ print length($0) "\t" $0 }' | LC_ALL=C sort -rn | cut -f2 |
  while read -r dir; do echo "RMDir \"\$INSTDIR\\$(win "${dir#"$stage"/}")\"" >> "$uninstall_nsh"; done
# shellcheck disable=SC2016
echo 'SetOutPath "$INSTDIR"' >> "$install_nsh"

nsis_defs=(-DVERSION="$kit_version" -DARCH="$arch" -DCOPYRIGHT="$kit_copyright"
           -DFILES="$install_nsh" -DUNFILES="$uninstall_nsh" -DOUTFILE="$out/$name-setup.exe")
if [ ${#sign_opts[@]} -gt 0 ]; then
  # NSIS runs this on the uninstaller and the installer it writes; %1 is the file.
  sign_script=$out/sign-one.sh
  {
    echo '#!/usr/bin/env bash'
    printf 'osslsigncode sign'
    printf ' %q' "${sign_opts[@]}"
    # shellcheck disable=SC2016
    printf ' -in "$1" -out "$1.signed" > /dev/null && mv "$1.signed" "$1"\n'
  } > "$sign_script"
  nsis_defs+=(-DSIGN_COMMAND="bash $sign_script")
fi
makensis -V2 -NOCD "${nsis_defs[@]}" "$here/modemflash.nsi" > "$out/makensis.log" 2>&1 ||
  { cat "$out/makensis.log" >&2; echo "make-kit: makensis failed" >&2; exit 1; }
echo "$out/$name-setup.exe"
