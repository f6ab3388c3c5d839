#!/usr/bin/env bash
# Formats every C++ source of the tree with the repository's .clang-format (clang-format-14).
#   scripts/format.sh          rewrites the files in place
#   scripts/format.sh --check  changes nothing; lists the files that differ and exits 1 if any do
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$formatter" >/dev/null 2>&1; then
  echo "format: $formatter not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.hpp')
else
  mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.hpp' \) -print | sort)
fi

if [ "${1:-}" = "--check" ]; then
  drift=0
  for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    if ! "$formatter" --style=file "$f" | cmp -s - "$f"; then
      echo "format: $f differs from .clang-format (run scripts/format.sh)"
      drift=1
    fi
  done
  [ $drift -eq 0 ] && echo "format: ${#files[@]} files match .clang-format"
  exit $drift
fi

"$formatter" --style=file -i "${files[@]}"
