#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages a build needs and that are missing.
#   scripts/install-deps.sh [linux] [fuzz] [windows]
# Runs as root on Debian 12; with no argument installs the Linux build's packages.
set -euo pipefail

want=("$@")
[ ${#want[@]} -gt 0 ] || want=(linux)

packages=()
for set in "${want[@]}"; do
  case "$set" in
    linux)
      packages+=(cmake make g++ libgtest-dev libgmock-dev libcli11-dev libsqlite3-dev python3)
      # JSON, the program's one writer (header-only; the Windows cross builds take the same
      # header); session files: JSON lines, compressed with zstd or gzip
      packages+=(nlohmann-json3-dev libzstd-dev zlib1g-dev)
      # SHA-256 with the processor's instructions
      packages+=(libssl-dev)
      # the test command's format check
      packages+=(clang-format)
      # sd-bus for ModemManager; its tests' private bus and mock; manual pages; packages
      packages+=(libsystemd-dev pkg-config dbus-daemon python3-dbusmock help2man dpkg-dev lintian)
      # the dashboard (serve): its server and JSON; its browser test; the unit's check
      packages+=(libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium
                 python3-prometheus-client systemd)
      ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    windows)
      packages+=(g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 googletest wine64 wine32:i386)
      # SQLite from Debian's source (dpkg-source, tclsh for its amalgamation); modemflash.lib
      # (llvm-dlltool) and the test link with lld-link; the installer (nsis), the .zip and the
      # manual (python3-markdown); version resources read back (python3-pefile); signing.
      packages+=(dpkg-dev make tcl xz-utils llvm lld nsis zip unzip python3-markdown python3-pefile
                 osslsigncode openssl)
      # 32-bit Wine runs the i686 build; its packages come from the i386 architecture.
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
      fi
      ;;
    *) echo "install-deps: unknown set '$set'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Windows builds compile cpp-httplib from Debian's source of the version installed above.
for set in "${want[@]}"; do
  if [ "$set" = windows ]; then
    bash "$(dirname "$0")/fetch-httplib-source.sh"
  fi
done
