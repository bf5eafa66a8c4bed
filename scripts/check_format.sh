#!/usr/bin/env bash
# Checks that every C and C++ source follows .clang-format, and names each file that
# does not. With --fix, formats them in place instead.
#   scripts/check_format.sh [--fix] [FILE...]
# Without FILEs: every tracked *.c, *.cpp and *.h (the sources of a plain copy of the
# tree, when it is no git checkout). The formatter is Debian's clang-format-14: the
# same version everywhere, since another version may lay the same code out otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; shift; fi

formatter=${CLANG_FORMAT:-clang-format-14}
command -v "$formatter" >/dev/null || {
  echo "$formatter is missing (Debian package clang-format-14; scripts/deps.sh installs it)" >&2
  exit 1
}

files=("$@")
if [ ${#files[@]} -eq 0 ]; then
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
  else
    mapfile -t files < <(find . -path './build*' -prune -o -path './dist' -prune -o \
                           \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -type f -print | sort)
  fi
fi

if [ "$fix" = 1 ]; then
  "$formatter" -i --style="file:$PWD/.clang-format" "${files[@]}"
  exit 0
fi
if "$formatter" --dry-run --Werror --style="file:$PWD/.clang-format" "${files[@]}" 2>"${TMPDIR:-/tmp}/format.$$"; then
  rm -f "${TMPDIR:-/tmp}/format.$$"
  echo "format: ${#files[@]} files follow .clang-format"
  exit 0
fi
# One line per file that is off, then the formatter's first complaints.
grep -oE '^[^:]+:[0-9]+:[0-9]+: error' "${TMPDIR:-/tmp}/format.$$" | cut -d: -f1 | sort -u |
  sed 's/^/not formatted: /' >&2
head -n 20 "${TMPDIR:-/tmp}/format.$$" >&2
rm -f "${TMPDIR:-/tmp}/format.$$"
echo "run scripts/check_format.sh --fix to format them" >&2
exit 1
