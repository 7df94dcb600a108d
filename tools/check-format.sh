#!/usr/bin/env bash
# Checks that every C++ source and header the repository holds is formatted as .clang-format
# says; prints the files that are not and fails. `tools/check-format.sh --fix` formats them.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: clang-format"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends clang-format
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
drift=$(clang-format --dry-run "${files[@]}" 2>&1 | { grep -oE '^[^:]+\.(cpp|h):' || true; } | sort -u | tr -d ':')
if [ -n "$drift" ]; then
  echo "clang-format: these files are not formatted (tools/check-format.sh --fix mends them):"
  echo "$drift" | sed 's/^/  /'
  exit 1
fi
echo "clang-format: ${#files[@]} files formatted"
