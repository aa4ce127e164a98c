#!/usr/bin/env bash
# The C++ sources as the pinned clang-format (constraints.txt, installed into .venv by
# scripts/setup.sh) formats them with .clang-format: every tracked .cpp, .hpp and .h file.
#   scripts/cpp_format.sh          check only: reports every line that would change, fails if any
#                                  (make lint)
#   scripts/cpp_format.sh --fix    rewrite them in place
# CLANG_FORMAT=<path> runs another executable (the check is only as stable as its version).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
clang_format=${CLANG_FORMAT:-$root/.venv/bin/clang-format}
if [ ! -x "$clang_format" ] && ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "cpp_format: $clang_format not found: run scripts/setup.sh (or set CLANG_FORMAT)" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.hpp' '*.h')
case "${1:-}" in
  --fix) "$clang_format" -i "${files[@]}" ;;
  "") "$clang_format" --dry-run -Werror "${files[@]}" ;;
  *) echo "usage: scripts/cpp_format.sh [--fix]" >&2; exit 2 ;;
esac
