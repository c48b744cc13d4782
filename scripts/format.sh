#!/usr/bin/env bash
# Formats the C and C++ sources git tracks with the repository's .clang-format (clang-format 14).
#
# Usage: scripts/format.sh           formats every file in place
#        scripts/format.sh --check   changes nothing; names each file that differs, exits 1 if any
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "format: unknown argument $1" >&2; exit 2 ;;
esac

formatter=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$formatter" ]; then
  echo "format: clang-format 14 is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
if [ "$check" -eq 0 ]; then
  "$formatter" -i --style=file -- "${files[@]}"
  exit 0
fi

unformatted=0
for file in "${files[@]}"; do
  if ! "$formatter" --style=file --dry-run --Werror -- "$file" >/dev/null 2>&1; then
    echo "format: $file does not match .clang-format (scripts/format.sh formats it)" >&2
    unformatted=1
  fi
done
[ "$unformatted" -eq 0 ] && echo "format: ${#files[@]} files match .clang-format"
exit "$unformatted"
