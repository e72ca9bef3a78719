#!/usr/bin/env bash
# Fails, naming the files, when a C or C++ source differs from what
# clang-format (.clang-format) makes of it. Fuzz regression inputs are data.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$clang_format" ]; then
  echo "check-format: clang-format is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi
files=$(git ls-files '*.c' '*.cpp' '*.h' ':!tests/regressions/**') || {
  echo "check-format: cannot list the sources (git ls-files failed)" >&2
  exit 1
}
[ -n "$files" ] || {
  echo "check-format: no sources found" >&2
  exit 1
}
bad=()
while IFS= read -r f; do
  "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done <<<"$files"
if [ ${#bad[@]} -gt 0 ]; then
  echo "check-format: not formatted (run: clang-format -i FILE):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "check-format: $(wc -l <<<"$files") files formatted"
