#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, address and undefined-behaviour sanitizers)
# in build/fuzz and runs them for a bounded time from their seed corpora.
#   bash scripts/fuzz.sh [SECONDS]           every target, SECONDS each (default 20)
#   bash scripts/fuzz.sh TARGET [SECONDS]    one target (archive, config, file_list,
#                                            modem_answers, registry_walk, session,
#                                            transfer), longer
# Exits non-zero when a target finds a crash; the reproducer is left in build/fuzz/artifacts/
# (turn it into a seed under fuzz/corpus/<target>/ once the fault is mended).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

all=(archive config file_list modem_answers registry_walk session transfer)
targets=("${all[@]}")
seconds=20
if [ $# -gt 0 ] && ! [[ "$1" =~ ^[0-9]+$ ]]; then
  targets=("$1")
  shift
  [[ " ${all[*]} " == *" ${targets[0]} "* ]] || { echo "fuzz.sh: unknown target '${targets[0]}' (${all[*]})" >&2; exit 2; }
fi
[ $# -gt 0 ] && seconds="$1"

bash scripts/install-deps.sh linux fuzz

# Warnings are the gcc builds' business; a clang-only warning must not stop the fuzzing.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMODEMFLASH_BUILD_FUZZ=ON -DMODEMFLASH_BUILD_TESTS=OFF -DMODEMFLASH_BUILD_BENCH=OFF \
  -DMODEMFLASH_WERROR=OFF >/dev/null
cmake --build build/fuzz -j2 --target "${targets[@]/%/_fuzz}"

mkdir -p build/fuzz/artifacts build/fuzz/corpus build/fuzz/work
status=0
for target in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the seeds in fuzz/corpus stay as committed. Each target
  # runs in a scratch folder of its own (the transfer writes its rejection log there), so
  # every path handed to it is absolute.
  mkdir -p "build/fuzz/corpus/$target" "build/fuzz/work/$target"
  echo "== fuzz $target for ${seconds}s"
  (cd "build/fuzz/work/$target" &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$root/build/fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$root/build/fuzz/artifacts/${target}-" \
      "$root/build/fuzz/corpus/$target" "$root/fuzz/corpus/$target") || status=$?
done
exit "$status"
