#!/usr/bin/env bash
# Formats every C and C++ source of the tree with .clang-format, or with
# --check lists the files that do not follow it and fails.
#
#   tools/format.sh           rewrite the files in place
#   tools/format.sh --check   change nothing; exit 1 if any file would change
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)

sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -- '*.c' '*.cpp' '*.h'
  else
    find . -path ./build -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print
  fi
}

if [ "${1:-}" = --check ]; then
  unformatted=()
  while IFS= read -r file; do
    if ! "$format" --dry-run -Werror "$file" >/dev/null 2>&1; then
      unformatted+=("$file")
    fi
  done < <(sources)
  if [ ${#unformatted[@]} -ne 0 ]; then
    printf 'not formatted (run tools/format.sh): %s\n' "${unformatted[@]}"
    exit 1
  fi
  exit 0
fi
sources | xargs "$format" -i
