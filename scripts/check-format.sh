#!/usr/bin/env bash
# Fails when a C or C++ file of the repository differs from what .clang-format makes of it.
#   scripts/check-format.sh          check (CI)
#   scripts/check-format.sh --fix    rewrite the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
  echo "${#files[@]} files formatted as .clang-format says"
fi
