#!/usr/bin/env bash
# cpp-httplib for the Windows cross builds: the single-header httplib.h of the version Debian's
# libcpp-httplib-dev installs (which ships only the header's declarations, with a shared
# library for Linux), taken from Debian's own source package.
#   bash scripts/fetch-httplib-source.sh
#
# Fetched once per cache and reused by every later run:
#   ${MODEMFLASH_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/modemflash}/httplib-source/
#       httplib.h  LICENSE  stamp (the Debian version)
# src/dashboard/CMakeLists.txt looks there. The source comes through apt with a private
# configuration (a deb-src copy of the machine's Debian source list, lists and cache folders of
# our own), so the machine's package lists stay as they are; apt checks the files against the
# signed index.
set -euo pipefail

cache=${MODEMFLASH_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/modemflash}
dest=$cache/httplib-source
version=$(dpkg-query -W -f='${source:Version}' libcpp-httplib-dev 2>/dev/null || true)
[ -n "$version" ] || version=any
mkdir -p "$cache"

exec 9> "$cache/.httplib.lock"
flock 9
if [ -s "$dest/httplib.h" ] && [ "$(cat "$dest/stamp" 2>/dev/null)" = "cpp-httplib $version" ]; then
  echo "fetch-httplib-source: up to date in $dest"
  exit 0
fi

work=$(mktemp -d "$cache/.httplib.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/log
fail() {
  echo "fetch-httplib-source: $*" >&2
  tail -n 30 "$log" >&2 || true
  exit 1
}
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || fail "no $sources to take the Debian source from"
apt=$work/apt
mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
sed -E 's/^Types:.*/Types: deb-src/' "$sources" > "$apt/parts/debian.sources"
aptopts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
         -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache")
echo "fetching Debian's cpp-httplib source ($version)"
apt-get -q "${aptopts[@]}" update >> "$log" 2>&1 || fail "apt-get update of the private source lists failed"
want=cpp-httplib
[ "$version" = any ] || want=cpp-httplib=$version
if ! (cd "$work/src" && apt-get -q "${aptopts[@]}" source --download-only "$want") >> "$log" 2>&1; then
  echo "fetch-httplib-source: $want is no longer offered; taking the current cpp-httplib source"
  (cd "$work/src" && apt-get -q "${aptopts[@]}" source --download-only cpp-httplib) >> "$log" 2>&1 ||
    fail "apt-get source cpp-httplib failed"
fi
dsc=$(ls "$work"/src/cpp-httplib_*.dsc)
dpkg-source -x "$dsc" "$work/tree" >> "$log" 2>&1 || fail "dpkg-source -x $dsc failed"
[ -s "$work/tree/httplib.h" ] || fail "the source has no httplib.h"
grep -q 'inline bool Server::listen_after_bind' "$work/tree/httplib.h" ||
  fail "httplib.h in the source is not the single-header form"
mkdir -p "$work/out"
cp "$work/tree/httplib.h" "$work/out/"
cp "$work/tree/LICENSE" "$work/out/" 2>/dev/null || true
echo "cpp-httplib $version" > "$work/out/stamp"
rm -rf "$dest"
mv "$work/out" "$dest"
echo "fetch-httplib-source: httplib.h ready in $dest"
