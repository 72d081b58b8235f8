#!/usr/bin/env bash
# modemflash as a Linux user or distribution meets it, checked without installing anything on
# this machine:
#  1. builds with Debian's build flags (build/package, prefix /usr), installs into a temporary
#     prefix, and builds and runs a tiny host against it both ways: find_package(modemflash
#     CONFIG) and pkg-config (the host calls Create and Reserved);
#  2. makes the Debian packages (cpack) and checks their names, dependencies, files and
#     lintian's verdict (tags listed in packaging/lintian-expected.txt are explained in the
#     README and accepted; any other tag fails);
#  3. unpacks them with dpkg -x into a temporary root and runs a whole update with the
#     unpacked modemflash against the unpacked modemsim in a private device tree.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build=$top/build/package
work=$(mktemp -d /tmp/modemflash-packages.XXXXXX)
simpid=
cleanup() {
  [ -z "$simpid" ] || kill "$simpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "packages: FAILED: $*" >&2; exit 1; }

echo "== packages: build with Debian's flags into $build"
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
# No -Werror: the fortified C library warns about fread results the engine ignores on purpose.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DMODEMFLASH_WERROR=OFF \
  -DMODEMFLASH_BUILD_TESTS=OFF -DMODEMFLASH_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2
unset CFLAGS CXXFLAGS LDFLAGS

echo "== packages: install into a temporary prefix; a host built with CMake and with pkg-config"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libmodemflash.so.0' | head -1)")
[ -f "$libdir/cmake/modemflash/modemflashConfigVersion.cmake" ] || fail "no CMake version file"
cmake -S packaging/consumer -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer" | grep -qx "consumer: Create and Reserved work" ||
  fail "the CMake-built host"
pcdir=$libdir/pkgconfig
[ "$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=prefix modemflash)" = "$prefix" ] ||
  fail "modemflash.pc does not name the install prefix"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/consumer-pc" packaging/consumer/consumer.cpp \
  $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs modemflash)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -qx "consumer: Create and Reserved work" ||
  fail "the pkg-config-built host"
echo "   both hosts ran: Create and Reserved work"

echo "== packages: cpack"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages" >/dev/null)
shopt -s nullglob
debs=("$build"/packages/*.deb)
[ ${#debs[@]} -eq 4 ] || fail "expected 4 packages, got ${#debs[@]}: ${debs[*]}"
for deb in "${debs[@]}"; do
  printf '   %-48s %s\n' "$(basename "$deb")" "$(dpkg-deb -f "$deb" Depends)"
done
deb_of() { for d in "${debs[@]}"; do [ "$(dpkg-deb -f "$d" Package)" = "$1" ] && echo "$d"; done; }
# The file list of a package (read whole: an early-ending grep would break dpkg-deb's pipe).
holds() { local list; list=$(dpkg-deb -c "$(deb_of "$1")"); grep -q "$2" <<<"$list"; }
for p in libmodemflash0 libmodemflash-dev modemflash modemsim; do
  [ -n "$(deb_of $p)" ] || fail "no package $p"
  holds $p "usr/share/doc/$p/copyright$" || fail "$p has no copyright file"
  holds $p "usr/share/doc/$p/changelog.Debian.gz$" || fail "$p has no changelog"
done
dpkg-deb -f "$(deb_of libmodemflash0)" Depends | grep -q libc6 || fail "libmodemflash0 lacks its libc6 dependency"
dpkg-deb -f "$(deb_of modemflash)" Depends | grep -q "libmodemflash0 (= " || fail "modemflash does not depend on the library"
dpkg-deb -f "$(deb_of libmodemflash-dev)" Depends | grep -q "libmodemflash0 (= " || fail "the dev package does not depend on the library"
holds libmodemflash-dev "modemflashConfig.cmake$" || fail "no CMake package in libmodemflash-dev"
holds libmodemflash-dev "pkgconfig/modemflash.pc$" || fail "no modemflash.pc in libmodemflash-dev"
holds libmodemflash-dev "include/modemflash/downloader.h$" || fail "no headers in libmodemflash-dev"
holds modemflash "man1/modemflash-flash.1.gz$" || fail "no manual page for modemflash flash"
holds modemsim "man1/modemsim.1.gz$" || fail "no manual page for modemsim"
holds modemflash "man1/modemflash-serve.1.gz$" || fail "no manual page for modemflash serve"
holds modemflash "\./lib/systemd/system/modemflash-station.service$" || fail "no station service unit"
holds modemflash "\./etc/default/modemflash-station$" || fail "no /etc/default/modemflash-station"
dpkg-deb -f "$(deb_of modemflash)" Depends | grep -q adduser || fail "modemflash does not depend on adduser"
dpkg-deb -I "$(deb_of modemflash)" conffiles | grep -qx /etc/default/modemflash-station ||
  fail "/etc/default/modemflash-station is not a conffile"

echo "== packages: lintian"
if command -v lintian >/dev/null; then
  tags=$(lintian --allow-root --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -E '^[EWI]: ' || true)
  expected=$(awk '!/^#/ && NF {print $1 " " $2}' packaging/lintian-expected.txt)
  unexpected=
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    pkg=$(echo "$line" | sed -E 's/^[EWI]: ([^ :]+).*/\1/')
    tag=$(echo "$line" | sed -E 's/^[EWI]: [^:]+: ([^ ]+).*/\1/')
    if grep -qxF "$pkg $tag" <<<"$expected" || grep -qxF "* $tag" <<<"$expected"; then
      echo "   accepted: $line"
    else
      unexpected+="$line"$'\n'
    fi
  done <<<"$tags"
  [ -z "$unexpected" ] || fail "lintian tags not explained in packaging/lintian-expected.txt:
$unexpected"
  echo "   lintian: no unexplained tags"
else
  fail "lintian is missing (bash scripts/install-deps.sh linux)"
fi

echo "== packages: unpack with dpkg -x and update the unpacked modemsim with the unpacked modemflash"
root=$work/root
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
cli=$root/usr/bin/modemflash

echo "== packages: the station service, checked by systemd-analyze verify in the unpacked tree"
# The unit's own dependencies (sysinit.target and the like) come from this machine's systemd.
for unit in /lib/systemd/system/*.target /lib/systemd/system/*.slice; do
  [ -e "$root/lib/systemd/system/${unit##*/}" ] || cp -a "$unit" "$root/lib/systemd/system/"
done
set +e
verdict=$(systemd-analyze verify --man=no --root="$root" modemflash-station.service 2>&1)
status=$?
set -e
# Any complaint fails, not only the ones that make systemd-analyze fail (an unknown key is
# only a warning there, and the unit would run without that hardening).
[ $status -eq 0 ] && [ -z "$verdict" ] || fail "systemd-analyze verify: ${verdict:-status $status}"
for key in User=modemflash SupplementaryGroups=dialout StateDirectory=modemflash \
    ProtectSystem=strict ProtectHome=yes NoNewPrivileges=yes PrivateTmp=yes \
    EnvironmentFile=/etc/default/modemflash-station; do
  grep -qx "$key" "$root/lib/systemd/system/modemflash-station.service" || fail "the unit lacks $key"
done
echo "   modemflash-station.service: verified"
sim=$root/usr/bin/modemsim
mkdir -p "$work/dev" "$work/sys"
"$cli" sample "$work/firmware" --small >/dev/null
MODEMFLASH_TIME_SCALE=200 "$sim" --dev-root "$work/dev" --sysfs-root "$work/sys" --renumber \
  --report "$work/report.json" --ready-file "$work/ready" >"$work/modemsim.log" 2>&1 &
simpid=$!
for _ in $(seq 1 100); do [ -e "$work/ready" ] && break; sleep 0.05; done
[ -e "$work/ready" ] || fail "the unpacked modemsim did not start: $(cat "$work/modemsim.log")"
set +e
# The system's ModemManager, if any, is left out of it: a private bus address that is absent.
DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus MODEMFLASH_DEV_ROOT=$work/dev \
  MODEMFLASH_SYSFS_ROOT=$work/sys "$cli" flash "$work/firmware" --time-scale 200 \
  --log "$work/engine.log" >"$work/flash.out" 2>&1
status=$?
set -e
kill -INT "$simpid"
wait "$simpid" || true
simpid=
tail -3 "$work/flash.out" | sed 's/^/   /'
[ $status -eq 0 ] || fail "the update ended with status $status: $(cat "$work/flash.out")"
grep -q '"programmed": *true' "$work/report.json" || grep -q '"programmed":true' "$work/report.json" ||
  fail "the simulated modem reports nothing programmed"
echo "== packages: passed"
