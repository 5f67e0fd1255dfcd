#!/usr/bin/env bash
# Formats every C++ file in the repository with clang-format and the repository's
# .clang-format; with --check, changes nothing and fails (naming the files) where a file
# differs from its formatted self.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == "--check" ]]; then
  if ! clang-format --dry-run --Werror "${files[@]}" 2>/tmp/cv-format.$$; then
    grep -oE '^[^: ]+:[0-9]+:[0-9]+: ' /tmp/cv-format.$$ | cut -d: -f1 | sort -u |
      sed 's/^/not formatted: /'
    rm -f /tmp/cv-format.$$
    echo "run scripts/format.sh to format them" >&2
    exit 1
  fi
  rm -f /tmp/cv-format.$$
else
  clang-format -i "${files[@]}"
fi
