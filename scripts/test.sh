#!/usr/bin/env bash
# The whole test suite: installs what it needs (apt-get, only what is missing), then builds
# and tests every configuration.
#   bash scripts/test.sh                     all: format, linux, linux-asan, linux-tsan, packages,
#                                            fuzz, windows
#   bash scripts/test.sh linux linux-asan    some of them
#     format             every C and C++ source formatted as .clang-format says, in check
#                        mode (scripts/check-format.sh; --fix there rewrites them)
#     linux, linux-asan, linux-tsan  configure, build and ctest the preset (tsan: the
#                        thread sanitizer over the station's tests and the suite)
#     packages           install tree, CMake and pkg-config hosts, Debian packages, lintian,
#                        an update with the unpacked programs (scripts/test-packages.sh)
#     fuzz               every fuzz target for 20 seconds (scripts/fuzz.sh)
#     windows            both cross builds, export checks, tests and an update under Wine
#                        (scripts/test-windows.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(format linux linux-asan linux-tsan packages fuzz windows)

bash scripts/install-deps.sh linux

# Parts that could not run here (for instance 32-bit tests on a kernel without 32-bit support)
# say so in this file; the closing summary repeats each line. They never count as passed.
not_run_file=$(mktemp "${TMPDIR:-/tmp}/mf-not-run.XXXXXX")
trap 'rm -f "$not_run_file"' EXIT
export MODEMFLASH_NOT_RUN_FILE=$not_run_file

timings=()
for part in "${parts[@]}"; do
  part_start=$SECONDS
  case "$part" in
    format)
      echo "== format"
      bash scripts/check-format.sh
      ;;
    linux | linux-asan | linux-tsan)
      echo "== $part: configure, build, test"
      cmake --preset "$part" >/dev/null
      cmake --build --preset "$part" -j"$(nproc)"
      ctest --preset "$part"
      ;;
    packages)
      bash scripts/test-packages.sh
      ;;
    fuzz)
      echo "== fuzz"
      bash scripts/fuzz.sh "${MODEMFLASH_FUZZ_SECONDS:-20}"
      ;;
    windows)
      echo "== windows"
      bash scripts/test-windows.sh
      ;;
    *) echo "test.sh: unknown part '$part'" >&2; exit 2 ;;
  esac
  timings+=("$part $((SECONDS - part_start)) s")
done
echo "== time per part: $(IFS=,; echo "${timings[*]}" | sed 's/,/, /g') (total $SECONDS s)"
if [ -s "$not_run_file" ]; then
  echo "== all parts that could run here passed: ${parts[*]}; not run on this machine:"
  sed 's/^/==   /' "$not_run_file"
else
  echo "== all parts passed: ${parts[*]}"
fi
