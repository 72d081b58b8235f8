#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, address and undefined-behaviour sanitizers)
# in build/fuzz and runs each for a bounded time from its seed corpus.
#   bash scripts/fuzz.sh [seconds per target, default 30]
# Exits non-zero when a target finds a crash; the reproducer is left in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

bash scripts/install-deps.sh linux fuzz

# Warnings are the gcc builds' business; a clang-only warning must not stop the fuzzing.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMODEMFLASH_BUILD_FUZZ=ON -DMODEMFLASH_BUILD_TESTS=OFF -DMODEMFLASH_BUILD_BENCH=OFF \
  -DMODEMFLASH_WERROR=OFF >/dev/null
cmake --build build/fuzz -j2 --target archive_fuzz

mkdir -p build/fuzz/artifacts build/fuzz/corpus
status=0
for target in archive; do
  # New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as committed.
  mkdir -p "build/fuzz/corpus/$target"
  echo "== fuzz $target for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/${target}-" \
    "build/fuzz/corpus/$target" "fuzz/corpus/$target" || status=$?
done
exit "$status"
