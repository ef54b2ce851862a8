#!/usr/bin/env bash
# Fails when a C++ file of the project is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.cc' '*.h' 2>/dev/null || true)
[ -n "$files" ] || exit 0
if ! echo "$files" | xargs clang-format --dry-run --Werror 2>/tmp/quillon-format.$$; then
    echo "Files not clang-format clean (run: clang-format -i FILE):"
    grep -oE '^[^: ]+\.(cpp|cc|h):[0-9]+' /tmp/quillon-format.$$ | cut -d: -f1 | sort -u
    rm -f /tmp/quillon-format.$$
    exit 1
fi
rm -f /tmp/quillon-format.$$
