#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and tests every configuration.
#   bash scripts/test.sh            all of them
#   bash scripts/test.sh linux      one preset (linux, linux-asan)
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-asan)

bash scripts/install-deps.sh linux

for preset in "${presets[@]}"; do
  echo "== $preset: configure, build, test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
  ctest --preset "$preset"
done
