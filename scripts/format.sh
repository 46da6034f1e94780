#!/usr/bin/env bash
# Formats every tracked C++ source and header with the repository's .clang-format.
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  change nothing; list the files that would change
#                              and exit non-zero when there is any
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
clang_format="${CLANG_FORMAT:-clang-format}"
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "format: $clang_format is not installed (scripts/setup.sh installs it)" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- core app backup sources reading household setup tools tests bench \
  | grep -zE '\.(h|cpp)$')
if [ "${#files[@]}" -eq 0 ]; then
  echo "format: no tracked sources found" >&2
  exit 2
fi

if [ "${1:-}" = "--check" ]; then
  changed=0
  for f in "${files[@]}"; do
    if ! "$clang_format" --style=file "$f" | cmp -s - "$f"; then
      echo "$f"
      changed=$((changed + 1))
    fi
  done
  echo "format: $changed of ${#files[@]} files would change" >&2
  [ "$changed" -eq 0 ]
else
  printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "${KX_JOBS:-8}" "$clang_format" --style=file -i
  echo "format: formatted ${#files[@]} files"
fi
