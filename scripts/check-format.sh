#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is formatted as .clang-format says (the test
# command's `format` part). Changes nothing; lists each file that differs and fails.
#   bash scripts/check-format.sh          check
#   bash scripts/check-format.sh --fix    rewrite the files that differ
set -euo pipefail
cd "$(dirname "$0")/.."

format=${CLANG_FORMAT:-clang-format}
command -v "$format" >/dev/null || { echo "check-format: $format is not installed" >&2; exit 1; }

# The tracked files when this is a git checkout, else every source outside the build trees.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones not yet added (those .gitignore leaves out are not ours).
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o -path ./out -prune -o \
    -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi

if [ "${1:-}" = --fix ]; then
  "$format" -i "${files[@]}"
  exit 0
fi

# One run over every file; each line that differs is reported as "FILE:LINE:COL: error: ...".
status=0
report=$("$format" --dry-run --Werror "${files[@]}" 2>&1) || status=$?
mapfile -t bad < <(printf '%s\n' "$report" | sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u)
if [ "$status" -ne 0 ] && [ ${#bad[@]} -eq 0 ]; then
  printf 'check-format: %s failed:\n%s\n' "$format" "$report" >&2
  exit 1
fi
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted (bash scripts/check-format.sh --fix):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
