#!/usr/bin/env bash
# SQLite for the Windows cross builds: a static libsqlite3.a and sqlite3.h for each mingw-w64
# target, made from Debian's own source package of the SQLite that libsqlite3-dev installs.
#   bash scripts/build-sqlite-mingw.sh [TRIPLE...]   default: x86_64-w64-mingw32 i686-w64-mingw32
#
# Built once per cache and reused by every later run (and by CI, which keeps the folder):
#   ${MODEMFLASH_CACHE_DIR:-${XDG_CACHE_HOME:-~/.cache}/modemflash}/sqlite-mingw/TRIPLE/
#       include/sqlite3.h  lib/libsqlite3.a  stamp (the Debian version and the flags)
# cmake/toolchain-mingw-common.cmake looks there. A stamp that differs from what this script
# would build (another Debian version, other flags) rebuilds that target.
#
# The source comes through apt with a private configuration: a deb-src copy of the machine's
# own Debian source list, and lists and cache folders of our own, so the machine's package
# lists stay exactly as they are. apt checks the files against the signed index. The tree has
# no single-file amalgamation; its own makefile makes it with tclsh.
set -euo pipefail

triples=("$@")
[ ${#triples[@]} -gt 0 ] || triples=(x86_64-w64-mingw32 i686-w64-mingw32)

cache=${MODEMFLASH_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/modemflash}
base=$cache/sqlite-mingw
mkdir -p "$base"

# Threads of one station record at once (serialized mode); no extension loading; history
# files are plain, so nothing beyond the defaults.
cflags="-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION=1 -DSQLITE_DQS=0"

version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev 2>/dev/null || true)
[ -n "$version" ] || version=any

# Several runs (engineers, CI jobs) may share the cache: one builder at a time.
exec 9> "$base/.lock"
flock 9

stamp_of() { echo "sqlite3 $version; $1-gcc-win32 $cflags"; }
todo=()
for t in "${triples[@]}"; do
  [ "$(cat "$base/$t/stamp" 2>/dev/null)" = "$(stamp_of "$t")" ] || todo+=("$t")
done
if [ ${#todo[@]} -eq 0 ]; then
  echo "build-sqlite-mingw: up to date in $base (${triples[*]})"
  exit 0
fi

work=$(mktemp -d "$base/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/log
fail() {
  echo "build-sqlite-mingw: $*" >&2
  tail -n 30 "$log" >&2 || true
  exit 1
}

amalgamation=$base/amalgamation-$version
if [ ! -s "$amalgamation/sqlite3.c" ]; then
  sources=/etc/apt/sources.list.d/debian.sources
  [ -f "$sources" ] || fail "no $sources to take the Debian source from"
  apt=$work/apt
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$work/src"
  # The machine's own mirrors and keys, as source entries.
  sed -E 's/^Types:.*/Types: deb-src/' "$sources" > "$apt/parts/debian.sources"
  aptopts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
           -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache")
  echo "build-sqlite-mingw: fetching Debian's sqlite3 source ($version)"
  apt-get -q "${aptopts[@]}" update >> "$log" 2>&1 || fail "apt-get update of the private source lists failed"
  want=sqlite3
  [ "$version" = any ] || want=sqlite3=$version
  if ! (cd "$work/src" && apt-get -q "${aptopts[@]}" source --download-only "$want") >> "$log" 2>&1; then
    # The installed version may have left the archive; the one it offers now is as good.
    echo "build-sqlite-mingw: $want is no longer offered; taking the current sqlite3 source"
    (cd "$work/src" && apt-get -q "${aptopts[@]}" source --download-only sqlite3) >> "$log" 2>&1 ||
      fail "apt-get source sqlite3 failed"
  fi
  dsc=$(ls "$work"/src/sqlite3_*.dsc)
  # The files were checked against the signed index by apt; dpkg-source applies Debian's patches.
  dpkg-source -x "$dsc" "$work/tree" >> "$log" 2>&1 || fail "dpkg-source -x $dsc failed"
  mkdir -p "$work/build"
  echo "build-sqlite-mingw: making the amalgamation (tclsh)"
  (cd "$work/build" && "$work/tree/configure" --disable-tcl --disable-readline \
    --disable-load-extension) >> "$log" 2>&1 || fail "configure of the SQLite tree failed"
  make -C "$work/build" -j2 sqlite3.c >> "$log" 2>&1 || fail "make sqlite3.c failed (is tclsh installed?)"
  mkdir -p "$work/amalgamation"
  cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$work/build/sqlite3ext.h" "$work/amalgamation/"
  cp "$work/tree/LICENSE.md" "$work/amalgamation/" 2>/dev/null || true
  rm -rf "$amalgamation"
  mv "$work/amalgamation" "$amalgamation"
  rm -rf "$work/src" "$work/tree" "$work/build" "$apt"
fi

# Both targets at once, one core each.
pids=()
for t in "${todo[@]}"; do
  (
    out=$work/$t
    mkdir -p "$out/include" "$out/lib"
    # shellcheck disable=SC2086
    "$t-gcc-win32" $cflags -c "$amalgamation/sqlite3.c" -o "$out/sqlite3.o" &&
      "$t-ar" rcs "$out/lib/libsqlite3.a" "$out/sqlite3.o" &&
      rm "$out/sqlite3.o" &&
      cp "$amalgamation/sqlite3.h" "$amalgamation/sqlite3ext.h" "$out/include/" &&
      stamp_of "$t" > "$out/stamp"
  ) >> "$log.$t" 2>&1 &
  pids+=($!)
done
echo "build-sqlite-mingw: compiling SQLite for ${todo[*]}"
i=0
for t in "${todo[@]}"; do
  wait "${pids[$i]}" || { cat "$log.$t" >&2; fail "compiling SQLite for $t failed"; }
  rm -rf "${base:?}/$t"
  mv "$work/$t" "$base/$t"
  i=$((i + 1))
done
echo "build-sqlite-mingw: built in $base (${todo[*]})"
